#include "diagnostics/directories.h"

#include "app/fatal_error.h"
#include "diagnostics/safe_files.h"
#include "platform/system.h"

namespace vora {

std::wstring known_folder_path(const GUID& folder) {
  PWSTR raw = nullptr;
  const HRESULT result = sys().SHGetKnownFolderPath(folder, 0, nullptr, &raw);
  if (result < 0) {
    // The shell may hand back a buffer even on failure.
    if (raw) sys().CoTaskMemFree(raw);
    report_fatal_error("Failed to resolve known folder path.");
  }
  std::wstring path = raw ? raw : L"";
  sys().CoTaskMemFree(raw);
  return path;
}

std::filesystem::path install_directory() {
  static const std::filesystem::path path = std::filesystem::path(known_folder_path(folder_id_program_files)) / L"Vora";
  return path;
}

std::filesystem::path data_directory() {
  static const std::filesystem::path path = std::filesystem::path(known_folder_path(folder_id_program_data)) / L"Vora";
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
    const DWORD error = remove_tree(path, attempt == 0);
    if (!error) return true;
    ec.assign(static_cast<int>(error), std::system_category());
    // The tree may be gone even though the removal reported trouble.
    if (sys().GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD exists_error = sys().GetLastError();
      if (is_missing_error(exists_error)) return true;
      throw std::filesystem::filesystem_error("exists", path,
                                              std::error_code(static_cast<int>(exists_error), std::system_category()));
    }
    sys().sleep_ms(300);
  }
  return false;
}

}  // namespace vora
