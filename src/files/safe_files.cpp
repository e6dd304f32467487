#include "files/safe_files.h"

#include <fmt/xchar.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <random>

#include "base/text.h"
#include "platform/crt.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr std::wstring_view unc_prefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view long_path_prefix = L"\\\\?\\";
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct find_handle_traits {
  static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { sys().FindClose(h); }
};
using scoped_find_handle = platform::scoped<HANDLE, find_handle_traits>;

std::int64_t ticks_of(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

bool set_delete_disposition(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return sys().SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

DWORD delete_exactly(const std::filesystem::path& path, const std::wstring& expected_final, std::wstring& reached) {
  DWORD error = 0;
  platform::scoped_handle handle(
      open_exactly(path, expected_final, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, reached, error));
  if (!handle) return is_missing_error(error) ? 0 : error;
  return delete_by_handle(handle.get());
}

void warn_left_link(const std::filesystem::path& path, const std::wstring& reached) {
  spdlog::warn("Left link '{}' in place: removing it would reach '{}'", narrow_path(path), narrow_path(reached));
}

DWORD remove_entry(const std::filesystem::path& path, const std::wstring& expected_final, DWORD attributes,
                   link_report links) {
  std::wstring reached;
  if (is_link(attributes) || ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0u)) {
    const DWORD error = delete_exactly(path, expected_final, reached);
    if (error == ERROR_CANT_RESOLVE_FILENAME && links == link_report::warn) warn_left_link(path, reached);
    return error;
  }

  // A directory is entered only once a handle confirms it is the directory
  // the listing named. That handle asks for no delete access, which would
  // keep the listing itself from opening the directory.
  DWORD error = 0;
  std::vector<directory_entry> entries;
  {
    platform::scoped_handle directory(open_exactly(path, expected_final, FILE_READ_ATTRIBUTES, reached, error));
    if (!directory) {
      if (is_missing_error(error)) return 0;
      if (error == ERROR_CANT_RESOLVE_FILENAME && links == link_report::warn) warn_left_link(path, reached);
      return error;
    }
    if (!list_directory(path, entries, error)) return error;
  }
  DWORD first_error = 0;
  for (const auto& entry : entries) {
    const DWORD child_error =
        remove_entry(path / entry.name, child_final_path(expected_final, entry.name), entry.attributes, links);
    if ((child_error != 0u) && (first_error == 0u)) first_error = child_error;
  }
  const DWORD own_error = delete_exactly(path, expected_final, reached);
  return first_error != 0u ? first_error : own_error;
}

}  // namespace

// A read-only entry loses that attribute first, through the same handle.
DWORD delete_by_handle(HANDLE handle) {
  if (set_delete_disposition(handle)) return 0;
  DWORD error = sys().GetLastError();
  if (error != ERROR_ACCESS_DENIED) return error;
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (sys().SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) == 0) return error;
  return set_delete_disposition(handle) ? 0 : sys().GetLastError();
}

bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool is_missing_error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

bool list_directory(const std::filesystem::path& directory, std::vector<directory_entry>& entries, DWORD& error) {
  entries.clear();
  const std::wstring pattern = (directory / L"*").wstring();
  WIN32_FIND_DATAW data{};
  scoped_find_handle find(sys().FindFirstFileW(pattern.c_str(), &data));
  if (!find) {
    error = sys().GetLastError();
    // Only a volume root can be empty of "." and "..".
    return error == ERROR_FILE_NOT_FOUND;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({name, data.dwFileAttributes, ticks_of(data.ftLastWriteTime)});
  } while (sys().FindNextFileW(find.get(), &data) != 0);
  error = sys().GetLastError();
  if (error != ERROR_NO_MORE_FILES) return false;
  error = 0;
  return true;
}

bool final_path_of(HANDLE handle, std::wstring& path) {
  std::vector<wchar_t> buffer(260, L'\0');
  for (;;) {
    const DWORD result = sys().GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (result == 0) return false;
    // A result that does not fit is the size needed, terminator included.
    if (result >= buffer.size()) {
      buffer.assign(static_cast<std::size_t>(result) + 1, L'\0');
      continue;
    }
    std::wstring found(buffer.data(), result);
    if (found.compare(0, unc_prefix.size(), unc_prefix) == 0)
      found.replace(0, unc_prefix.size(), L"\\\\");
    else if (found.compare(0, long_path_prefix.size(), long_path_prefix) == 0)
      found.erase(0, long_path_prefix.size());
    path = std::move(found);
    return true;
  }
}

HANDLE open_exactly(const std::filesystem::path& path, const std::wstring& expected_final, DWORD access,
                    std::wstring& reached, DWORD& error, DWORD share) {
  const std::wstring wide = path.wstring();
  platform::scoped_handle handle(sys().CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING,
                                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) {
    error = sys().GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  if (!final_path_of(handle.get(), reached)) {
    error = sys().GetLastError();
    if (error == 0u) error = ERROR_CANT_RESOLVE_FILENAME;
    return INVALID_HANDLE_VALUE;
  }
  // Some systems open what a link points to even when asked for the link:
  // the final path tells.
  if (!platform::equal_ignoring_case(reached, expected_final)) {
    error = ERROR_CANT_RESOLVE_FILENAME;
    return INVALID_HANDLE_VALUE;
  }
  error = 0;
  return handle.release();
}

bool read_file_id(HANDLE file, platform::file_id_info& identity) {
  return sys().GetFileInformationByHandleEx(file, FileIdInfo, &identity, sizeof(identity)) != 0;
}

bool same_file_id(const platform::file_id_info& a, const platform::file_id_info& b) {
  return a.VolumeSerialNumber == b.VolumeSerialNumber && std::memcmp(a.FileId, b.FileId, sizeof(a.FileId)) == 0;
}

bool rename_by_handle(HANDLE handle, const std::wstring& target, if_target_exists existing) {
  const std::size_t name_bytes = target.size() * sizeof(WCHAR);
  const std::size_t size = sizeof(FILE_RENAME_INFO) + name_bytes;
  // Whole 64-bit words keep the record aligned; the zero fill leaves a
  // terminator after the name.
  std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  auto* bytes = reinterpret_cast<std::byte*>(storage.data());
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bytes);
  info->ReplaceIfExists = existing == if_target_exists::replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(bytes + offsetof(FILE_RENAME_INFO, FileName), target.data(), name_bytes);
  return sys().SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(size)) != 0;
}

bool move_aside(const std::filesystem::path& path, const std::wstring& expected_final, std::filesystem::path& aside,
                DWORD& error) {
  std::wstring reached;
  platform::scoped_handle handle(open_exactly(path, expected_final, DELETE | SYNCHRONIZE, reached, error));
  if (!handle) return false;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = path.filename().wstring() + L".untrusted-" + std::to_wstring(seconds);
    if (attempt >= 10)
      name += L"-" + unguessable_name_part();
    else if (attempt != 0)
      name += L"-" + std::to_wstring(attempt);
    aside = path.parent_path() / name;
    if (rename_by_handle(handle.get(), aside.wstring(), if_target_exists::fail)) return true;
    error = sys().GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

DWORD delete_exactly(const std::filesystem::path& path, const std::wstring& expected_final) {
  std::wstring reached;
  return delete_exactly(path, expected_final, reached);
}

std::wstring unguessable_name_part() {
  std::random_device random;
  return fmt::format(L"{:08x}{:08x}", random(), random());
}

std::wstring child_final_path(const std::wstring& parent_final, const std::wstring& name) {
  return (std::filesystem::path(parent_final) / name).wstring();
}

std::wstring directory_final_path(const std::filesystem::path& directory, DWORD& error) {
  const std::wstring wide = directory.wstring();
  platform::scoped_handle handle(sys().CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring final_path;
  if (!handle || !final_path_of(handle.get(), final_path)) {
    error = sys().GetLastError();
    if (error == 0u) error = ERROR_CANT_RESOLVE_FILENAME;
    return {};
  }
  error = 0;
  return final_path;
}

DWORD delete_in_place(const std::filesystem::path& path) {
  DWORD error = 0;
  const std::wstring parent_final = directory_final_path(path.parent_path(), error);
  if (error != 0u) return is_missing_error(error) ? 0 : error;
  return delete_exactly(path, child_final_path(parent_final, path.filename().wstring()));
}

DWORD remove_tree(const std::filesystem::path& path, link_report links) {
  const std::wstring wide = path.wstring();
  const DWORD attributes = sys().GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = sys().GetLastError();
    return is_missing_error(error) ? 0 : error;
  }
  // The folders above the tree belong to the system; the parent's final path
  // is what every entry below is checked against.
  DWORD error = 0;
  const std::wstring parent_final = directory_final_path(path.parent_path(), error);
  if (error != 0u) return error;
  return remove_entry(path, child_final_path(parent_final, path.filename().wstring()), attributes, links);
}

}  // namespace vora
