#include "download/placement.h"

#include <spdlog/spdlog.h>

#include <cstring>
#include <filesystem>

#include "base/text.h"
#include "files/safe_files.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

std::error_code last_error_code() {
  return std::error_code(static_cast<int>(sys().GetLastError()), std::system_category());
}

// Opens path (links followed, nothing locked for others) into file and reads
// its volume serial number and 128-bit file identifier; the 64-bit index
// alone is not unique on every file system. ec is set on failure.
bool read_file_identity(const std::wstring& path, platform::scoped_handle& file, platform::file_id_info& identity,
                        std::error_code& ec) {
  file.reset(sys().CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    ec = last_error_code();
    return false;
  }
  if (!read_file_id(file.get(), identity)) {
    ec = last_error_code();
    return false;
  }
  return true;
}

}  // namespace

bool update_canonical_path(held_image& held) {
  if (!final_path_of(held.handle.get(), held.path)) {
    spdlog::warn("GetFinalPathNameByHandleW failed (Error: {})", sys().GetLastError());
    return false;
  }
  return true;
}

bool is_same_file(const std::wstring& a, const std::wstring& b, std::error_code& ec) {
  ec.clear();
  platform::scoped_handle first, second;
  platform::file_id_info first_id{}, second_id{};
  if (!read_file_identity(a, first, first_id, ec) || !read_file_identity(b, second, second_id, ec)) return false;
  return same_file_id(first_id, second_id);
}

void discard_download(held_image& held, const std::wstring& temp_path) {
  held.handle.reset();
  // Through a handle on the entry itself: a link planted at this name goes as
  // a link, or stays, but what it points to is never touched.
  if (const DWORD error = delete_in_place(std::filesystem::path(temp_path)))
    spdlog::warn("Failed to delete '{}' (Error: {})", to_utf8(temp_path),
                 std::system_category().message(static_cast<int>(error)));
}

}  // namespace vora
