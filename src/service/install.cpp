#include "service/install.h"

#include <spdlog/spdlog.h>

#include <array>
#include <fstream>
#include <optional>

#include "app/fatal_error.h"
#include "app/text.h"
#include "diagnostics/directories.h"
#include "download/download.h"
#include "download/placement.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/configuration.h"
#include "service/control.h"
#include "service/names.h"
#include "service/uninstall.h"

namespace vora {
namespace {

constexpr std::uint64_t service_start_timeout_ms = 15000;

// Whether an earlier installation is registered; its removal waits until
// the new files are verified.
bool service_installed(SC_HANDLE manager) {
  SC_HANDLE probe = sys().OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS);
  if (probe != nullptr) {
    sys().CloseServiceHandle(probe);
    spdlog::info("Vora service is already installed, reinstalling");
    return true;
  }
  const DWORD error = sys().GetLastError();
  if (error != ERROR_SERVICE_DOES_NOT_EXIST)
    report_fatal_error("Failed to query existing Vora service (Error: {}).", error);
  return false;
}

constexpr std::array<const wchar_t*, 3> program_files = {L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe"};

// Ends the install for one file; the verified temporaries of the others go
// first, since the process exit leaves no destructor to do it.
[[noreturn]] void fail_download(std::size_t failed, std::array<held_image, 3>& held) {
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (i != failed && held[i].handle != nullptr && held[i].handle != INVALID_HANDLE_VALUE)
      discard_download(held[i], download_temp_path(program_files[i]));
  }
  report_fatal_error("Failed to download {}", to_utf8(program_files[failed]));
}

// Configures and starts the service just created; the handle is closed on
// every path, fatal ones included.
void configure_and_start(platform::scoped_service_handle service) {
  if (!set_service_description(service.get(), service_description))
    spdlog::warn("Service installed but description could not be set");
  if (!set_service_failure_actions(service.get()))
    spdlog::warn("Service installed but failure actions could not be set");

  std::string error;
  if (!apply_interactive_service_dacl(service.get(), error)) {
    service.reset();
    report_fatal_error("Failed to set Vora service permissions (Error: {}).", error);
  }

  if (!sys().StartServiceW(service.get(), 0, nullptr)) {
    const DWORD start_error = sys().GetLastError();
    if (start_error != ERROR_SERVICE_ALREADY_RUNNING) {
      service.reset();
      report_fatal_error("Failed to start Vora service (Error: {}).", start_error);
    }
  } else if (!wait_for_service_state(service.get(), SERVICE_RUNNING, service_start_timeout_ms)) {
    spdlog::warn("Timed out waiting for Vora service to reach running state");
  }
}

}  // namespace

bool write_uninstall_script(const std::filesystem::path& path) {
  HMODULE module = sys().GetModuleHandleW(nullptr);
  HRSRC resource = sys().FindResourceW(module, MAKEINTRESOURCEW(uninstall_script_resource), RT_RCDATA);
  if (resource == nullptr) return false;
  HGLOBAL loaded = sys().LoadResource(module, resource);
  if (loaded == nullptr) return false;
  const DWORD size = sys().SizeofResource(module, resource);
  if (size == 0) return false;
  const void* bytes = sys().LockResource(loaded);
  if (bytes == nullptr) return false;

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  // Buffered bytes that never reach the file are a failed write too.
  out.close();
  return !out.fail();
}

void run_install(SC_HANDLE manager) {
  const bool reinstall = service_installed(manager);

  // Everything is fetched and verified while an earlier service keeps
  // running, so a failed update leaves that installation as it was.
  std::array<held_image, 3> held;
  for (std::size_t i = 0; i < program_files.size(); ++i) {
    if (!fetch_verified_file(program_files[i], held[i], std::nullopt, true)) fail_download(i, held);
  }

  // The earlier service's files are in use until it has stopped.
  if (reinstall) remove_service(manager);
  std::wstring service_path;
  for (std::size_t i = 0; i < program_files.size(); ++i) {
    std::wstring final_path;
    if (!place_verified_file(program_files[i], held[i], final_path)) fail_download(i, held);
    if (i == 0) service_path = final_path;
  }

  if (!write_uninstall_script(install_directory() / L"UninstallVora.bat"))
    spdlog::warn("Failed to create uninstall bat");

  const std::wstring command_line = L"\"" + service_path + L"\"";
  platform::scoped_service_handle service(sys().CreateServiceW(
      manager, service_name, service_display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr, nullptr, service_account, nullptr));
  if (!service) {
    const DWORD error = sys().GetLastError();
    if (error != ERROR_SERVICE_EXISTS) report_fatal_error("Failed to create Vora service (Error: {}).", error);
    spdlog::warn("Vora service already exists after removal attempt, skipping creation");
  } else {
    configure_and_start(std::move(service));
  }

  // Held until now so the files cannot change between their verification and
  // the service's start.
  service_path.clear();
  for (std::size_t i = held.size(); i-- > 0;) held[i].dispose();
}

}  // namespace vora
