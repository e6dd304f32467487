#include "files/directories.h"

#include <exception>
#include <optional>

#include "files/safe_files.h"
#include "platform/system.h"

namespace vora {

outcome known_folder_path(const GUID& folder, std::wstring& path) {
  PWSTR raw = nullptr;
  const HRESULT result = sys().SHGetKnownFolderPath(folder, 0, nullptr, &raw);
  if (result < 0) {
    // The shell may hand back a buffer even on failure.
    if (raw) sys().CoTaskMemFree(raw);
    return failure{"Failed to resolve known folder path.", static_cast<DWORD>(result)};
  }
  path = raw ? raw : L"";
  sys().CoTaskMemFree(raw);
  return std::nullopt;
}

namespace {

struct known_folders {
  std::filesystem::path program_files;
  std::filesystem::path program_data;
};

std::optional<known_folders>& folders() {
  static std::optional<known_folders> resolved;
  return resolved;
}

const known_folders& resolved_folders() {
  // The entry resolves them before anything else and ends the run with the
  // failure; a caller that skipped that has no folder to fall back on.
  if (resolve_known_folders()) std::terminate();
  return *folders();
}

}  // namespace

outcome resolve_known_folders() {
  if (folders()) return std::nullopt;
  std::wstring program_files;
  std::wstring program_data;
  if (auto cause = known_folder_path(folder_id_program_files, program_files)) return cause;
  if (auto cause = known_folder_path(folder_id_program_data, program_data)) return cause;
  folders() = known_folders{program_files, program_data};
  return std::nullopt;
}

std::filesystem::path install_directory() {
  static const std::filesystem::path path = resolved_folders().program_files / L"Vora";
  return path;
}

std::filesystem::path data_directory() {
  static const std::filesystem::path path = resolved_folders().program_data / L"Vora";
  return path;
}

std::filesystem::path log_directory() {
  static const std::filesystem::path path = data_directory() / L"Logs";
  return path;
}

std::filesystem::path crash_directory() {
  static const std::filesystem::path path = data_directory() / L"Crashes";
  return path;
}

run_directories& this_run_directories() {
  static run_directories directories{log_directory(), crash_directory()};
  return directories;
}

bool remove_tree_with_retries(const std::filesystem::path& path, std::error_code& ec, std::int32_t attempts) {
  if (attempts < 1) return false;
  const std::wstring wide = path.wstring();
  for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
    ec.clear();
    // A link left in place is reported once, not on every attempt.
    const DWORD error = remove_tree(path, attempt == 0 ? link_report::warn : link_report::quiet);
    if (error == 0u) return true;
    ec.assign(static_cast<int>(error), std::system_category());
    // The tree may be gone even though the removal reported trouble.
    if (sys().GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD exists_error = sys().GetLastError();
      if (is_missing_error(exists_error)) return true;
      ec.assign(static_cast<int>(exists_error), std::system_category());
      return false;
    }
    sys().sleep_ms(300);
  }
  return false;
}

}  // namespace vora
