#include "download/placement.h"

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "app/text.h"
#include "diagnostics/safe_files.h"
#include "platform/system.h"

namespace vora {
namespace {}  // namespace

bool update_canonical_path(held_image& held) {
  if (!final_path_of(held.handle, held.path)) {
    spdlog::warn("GetFinalPathNameByHandleW failed (Error: {})", sys().GetLastError());
    return false;
  }
  return true;
}

bool rename_by_handle(HANDLE file, const std::wstring& target) {
  if (!rename_handle(file, target, true)) {
    spdlog::error("SetFileInformationByHandle(FileRenameInfo) failed (Error: {})", sys().GetLastError());
    return false;
  }
  return true;
}

bool is_same_file(const std::wstring& a, const std::wstring& b, std::error_code& ec) {
  ec.clear();
  const std::filesystem::path first(a), second(b);
  const bool same = std::filesystem::equivalent(first, second, ec);
  if (same || ec) return same && !ec;
  // Some libraries answer "different" without an error when only one of the
  // two is missing; a file that is not there has no identity to compare.
  for (const auto* path : {&first, &second}) {
    std::error_code status_error;
    if (!std::filesystem::exists(std::filesystem::status(*path, status_error))) {
      ec = status_error ? status_error : std::make_error_code(std::errc::no_such_file_or_directory);
      return false;
    }
  }
  return false;
}

void discard_download(held_image& held, const std::wstring& temp_path) {
  if (held.handle != nullptr && held.handle != INVALID_HANDLE_VALUE) sys().CloseHandle(held.handle);
  held.handle = nullptr;

  std::error_code ec;
  remove_file(temp_path, ec);
  if (ec) spdlog::warn("Failed to delete '{}' (Error: {})", to_utf8(temp_path), ec.message());
}

bool remove_file(const std::wstring& path, std::error_code& ec) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::remove(target, ec);
#ifdef _WIN32
  // This runtime's remove refuses a read-only file; clear the attribute of
  // that very file (not of a link's target) and try once more.
  if (ec == std::errc::permission_denied) {
    std::error_code status_error;
    if (fs::is_regular_file(fs::symlink_status(target, status_error))) {
      std::error_code chmod_error;
      fs::permissions(target, fs::perms::owner_write, fs::perm_options::add, chmod_error);
      if (!chmod_error) {
        ec.clear();
        fs::remove(target, ec);
      }
    }
  }
#endif
  return !ec;
}

}  // namespace vora
