#include "service/install.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>
#include <fstream>
#include <optional>
#include <string_view>

#include "base/failure.h"
#include "base/text.h"
#include "build_config.h"
#include "download/download.h"
#include "download/placement.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "files/staging_directory.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/configuration.h"
#include "service/control.h"
#include "service/disk_space.h"
#include "service/names.h"
#include "service/previous_install.h"
#include "service/registration.h"
#include "service/release_record.h"
#include "service/uninstall_entry.h"
#include "service/update_plan.h"
#include "service/update_swap.h"

namespace vora {
namespace {

// Whether an earlier installation is registered; its removal waits until
// the new files are verified.
outcome probe_installed_service(SC_HANDLE manager, bool& installed) {
  SC_HANDLE probe = sys().OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS);
  installed = probe != nullptr;
  if (installed) {
    sys().CloseServiceHandle(probe);
    spdlog::info("Vora service is already installed, reinstalling");
    return std::nullopt;
  }
  const DWORD error = sys().GetLastError();
  if (error != ERROR_SERVICE_DOES_NOT_EXIST)
    return fail_with(error, "Failed to query existing Vora service (Error: {}).", error);
  return std::nullopt;
}

// Drops the verified temporaries and, with nothing else in it, the staging
// folder, before the failure reaches the dispatch and the run ends.
void discard_new_files(per_program_file<held_image>& held) {
  for (std::size_t i = 0; i < held.size(); ++i) discard_download(held[i], download_temp_path(program_files[i]));
  release_staging_directory();
}

// Ends the install for one file before anything was swapped.
failure download_failed(std::size_t failed, per_program_file<held_image>& held) {
  discard_new_files(held);
  return download_failure(failed);
}

// One release: the setup and the broker must come with the service they
// were published with, or a file of another release could be slipped in.
outcome refuse_mixed_releases(const per_program_file<image_version>& versions, per_program_file<held_image>& held) {
  const release_version& service_release = versions[service_file].product_version;
  for (std::size_t i = 0; i < versions.size(); ++i) {
    if (compare_versions(versions[i].product_version, service_release) == 0) continue;
    spdlog::error("Mixed releases: '{}' is release {}, '{}' is release {}", to_utf8(program_files[i]),
                  version_text(versions[i].product_version), to_utf8(program_files[service_file]),
                  version_text(service_release));
    return download_failed(i, held);
  }
  return std::nullopt;
}

// Never older: not below the highest release this machine had, nor below
// the floor this setup was built with. The same release again is a repair.
// Hands back the recorded release.
outcome refuse_older_release(const release_version& release, per_program_file<held_image>& held,
                             const std::string& source, std::optional<release_version>& recorded) {
  if (auto cause = read_release_record(recorded)) {
    discard_new_files(held);
    return cause;
  }
  const release_version floor{build::release_floor[0], build::release_floor[1], build::release_floor[2],
                              build::release_floor[3]};
  const bool below_record = recorded && compare_versions(release, *recorded) < 0;
  if (below_record || compare_versions(release, floor) < 0) {
    spdlog::error("Release {} of '{}' is below {} ({})", version_text(release), source,
                  version_text(below_record ? *recorded : floor),
                  below_record ? "the highest release installed" : "the lowest release this setup installs");
    if (source == manifest_file_name) {
      discard_new_files(held);
      return fail_with(0, "Failed to download {}", manifest_file_name);
    }
    return download_failed(service_file, held);
  }
  return std::nullopt;
}

// The script names the commands it runs by their full path in System32, as
// the kernel reports it: the caller's current folder and environment are the
// caller's. Only a path the script can quote as it is will do, in cmd's
// double quotes and in PowerShell's single ones.
std::optional<std::string> system_directory_for_script() {
  std::array<wchar_t, 261> buffer{};
  const UINT length = sys().GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return std::nullopt;
  std::string text;
  for (UINT i = 0; i < length; ++i) {
    const wchar_t c = buffer[i];
    if (c < 0x20 || c >= 0x7f || std::wstring_view(L"%\"^&|<>()!'").find(c) != std::wstring_view::npos)
      return std::nullopt;
    text += static_cast<char>(c);
  }
  return text;
}

// The size the entry in Apps & features shows: the held program files and
// the script.
std::uint64_t held_bytes(const per_program_file<held_image>& held) {
  std::uint64_t total = 0;
  for (const held_image& file : held) {
    LARGE_INTEGER size{};
    if (file.handle && (sys().GetFileSizeEx(file.handle.get(), &size) != 0))
      total += static_cast<std::uint64_t>(size.QuadPart);
  }
  return total;
}

}  // namespace

failure download_failure(std::size_t file) {
  return fail_with(0, "Failed to download {}", to_utf8(program_files[file]));
}

bool write_uninstall_script(const std::filesystem::path& path, std::uint64_t* written) {
  HMODULE module = sys().GetModuleHandleW(nullptr);
  HRSRC resource = sys().FindResourceW(module, MAKEINTRESOURCEW(uninstall_script_resource), RT_RCDATA);
  if (resource == nullptr) return false;
  HGLOBAL loaded = sys().LoadResource(module, resource);
  if (loaded == nullptr) return false;
  const DWORD size = sys().SizeofResource(module, resource);
  if (size == 0) return false;
  const void* bytes = sys().LockResource(loaded);
  if (bytes == nullptr) return false;

  std::string script(static_cast<const char*>(bytes), size);
  if (script.find(system32_placeholder) != std::string::npos) {
    const std::optional<std::string> system32 = system_directory_for_script();
    if (!system32) return false;
    for (std::size_t at = script.find(system32_placeholder); at != std::string::npos;
         at = script.find(system32_placeholder, at + system32->size()))
      script.replace(at, std::string_view(system32_placeholder).size(), *system32);
  }

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(script.data(), static_cast<std::streamsize>(script.size()));
  // Buffered bytes that never reach the file are a failed write too.
  out.close();
  if (out.fail()) return false;
  if (written) *written = script.size();
  return true;
}

outcome run_install(SC_HANDLE manager) {
  bool reinstall = false;
  if (auto cause = probe_installed_service(manager, reinstall)) return cause;

  // Everything is fetched and verified while an earlier service keeps
  // running, so a failed update leaves that installation as it was.
  per_program_file<held_image> held;
  per_program_file<image_version> versions;
  if (const DWORD error = prepare_download_directories())
    return fail_with(error, "Failed to secure directory '{}' (Error: {}).", narrow_path(staging_directory()), error);
  // What a run killed before its swap began had downloaded.
  clear_staging_directory({});
  // The signed manifest first: which release, and each file's path, size
  // and hash. A release below the record is refused before any file comes.
  std::vector<std::string> names;
  names.reserve(program_files.size());
  for (const wchar_t* name : program_files) names.push_back(to_utf8(name));
  release_manifest manifest;
  if (!fetch_release_manifest(names, manifest)) {
    discard_new_files(held);
    return fail_with(0, "Failed to download {}", manifest_file_name);
  }
  std::optional<release_version> recorded;
  if (auto cause = refuse_older_release(manifest.release, held, manifest_file_name, recorded)) return cause;
  spdlog::info("Installing release {} from {}", version_text(manifest.release), to_utf8(storage_base_url));
  // The new files take room beside the earlier ones until the commit; those
  // are set aside by renaming, which takes none.
  std::uint64_t needed = 0;
  for (const auto& listed : manifest.files) needed += listed.second.size;
  if (auto cause = check_disk_space(install_directory().parent_path(), needed)) {
    discard_new_files(held);
    return cause;
  }
  for (std::size_t i = 0; i < program_files.size(); ++i) {
    if (!fetch_verified_file(program_files[i], held[i], std::nullopt, signature_check::required, &versions[i],
                             &manifest.files.at(names[i])))
      return download_failed(i, held);
  }
  if (auto cause = refuse_mixed_releases(versions, held)) return cause;
  const release_version release = versions[service_file].product_version;
  // Signed twice: by the code signer in each file, and by the manifest key.
  if (compare_versions(release, manifest.release) != 0) {
    spdlog::error("Release {} of '{}' is not release {} the release manifest names", version_text(release),
                  names[service_file], version_text(manifest.release));
    return download_failed(service_file, held);
  }
  if (auto cause = refuse_older_release(release, held, names[service_file], recorded)) return cause;

  update_swap swap;
  swap.manager = manager;
  swap.earlier_service = reinstall;
  swap.fresh = &held;
  swap.previous.run_part = unguessable_name_part();
  // Raised before the update counts as done, so a run killed from here on
  // leaves no way back below it.
  swap.on_running = [&] {
    if (!recorded || compare_versions(release, *recorded) > 0) {
      if (auto cause = write_release_record(release)) spdlog::warn("{}", cause->message);
    }
  };
  const plan_outcome ran = run_plan(swap_steps(swap), swap_commit_step, swap_journal(swap));
  if (ran.failure) {
    if (ran.undone && swap.restoring) spdlog::info("Restored the earlier installation");
    discard_new_files(held);
    return ran.failure;
  }
  std::wstring waiting;
  for (std::size_t i = 0; i < program_files.size(); ++i) {
    if (!swap.previous.deferred[i]) continue;
    waiting += (waiting.empty() ? L"" : L", ") + std::wstring(program_files[i]);
  }
  if (auto cause = write_waiting_for_restart(waiting)) spdlog::warn("{}", cause->message);
  if (!waiting.empty())
    spdlog::warn("{} of release {} takes its place at the next restart", to_utf8(waiting), version_text(release));
  // Held until now so the files cannot change between their verification and
  // the service's start.
  const std::uint64_t installed_bytes = held_bytes(held) + swap.script_bytes;
  for (std::size_t i = held.size(); i-- > 0;) held[i].dispose();

  // Last, so an entry in Apps & features always names an installation that
  // runs.
  uninstall_entry entry;
  entry.release = release;
  entry.install_directory = install_directory();
  entry.installed_bytes = installed_bytes;
  sys().GetLocalTime(&entry.installed_on);
  if (auto cause = write_uninstall_entry(entry))
    spdlog::warn("{}", cause->message);
  else
    spdlog::info("Wrote the Apps & features entry of release {}", version_text(release));
  spdlog::info("Installed release {} in '{}'", version_text(release), narrow_path(install_directory()));
  return std::nullopt;
}

}  // namespace vora
