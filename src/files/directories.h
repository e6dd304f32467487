#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/failure.h"
#include "platform/win32_types.h"

namespace vora {

// FOLDERID_ProgramFiles and FOLDERID_ProgramData.
inline constexpr GUID folder_id_program_files = {
    0x905E63B6, 0xC1BF, 0x494E, {0xB2, 0x9C, 0x65, 0xB7, 0x32, 0xD3, 0xD2, 0x1A}};
inline constexpr GUID folder_id_program_data = {
    0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};

// The known folder's path as the shell returns it.
[[nodiscard]] outcome known_folder_path(const GUID& folder, std::wstring& path);

// Program Files and ProgramData, once per run: the entry resolves them
// first, after narrowing the DLL search, since the call loads shell DLLs.
[[nodiscard]] outcome resolve_known_folders();

// Computed once, returned as copies.
std::filesystem::path install_directory();
std::filesystem::path data_directory();
std::filesystem::path log_directory();
std::filesystem::path crash_directory();

// Where this run writes its log and dumps: Logs and Crashes, unless securing
// them chose fresh folders for this run. Resolved on first use, never during
// static initialisation: the known-folder call loads shell DLLs, which must
// come after the entry point has narrowed the DLL search to System32.
struct run_directories {
  std::filesystem::path logs;
  std::filesystem::path crashes;
};
run_directories& this_run_directories();

// Removes a file or tree, retrying with a 300 ms pause after every failed
// attempt. True when the path is gone; ec keeps the last attempt's error,
// or why the path could not even be looked at.
bool remove_tree_with_retries(const std::filesystem::path& path, std::error_code& ec, std::int32_t attempts);

}  // namespace vora
