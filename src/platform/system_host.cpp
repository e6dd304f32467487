// Stand-ins for builds without Windows. Calls a host cannot honour fail with
// ERROR_CALL_NOT_IMPLEMENTED; the few with an obvious host meaning (errors,
// time, CPUID, the two known folders, plain file access) behave like the real
// ones.
#include <cpuid.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace vora::platform {
namespace {

thread_local DWORD last_error = 0;

template <typename Result>
Result not_implemented() {
  last_error = ERROR_CALL_NOT_IMPLEMENTED;
  if constexpr (std::is_same_v<Result, HANDLE>)
    return INVALID_HANDLE_VALUE;
  else
    return Result();
}

// The host stands in for the two known folders with folders under the
// system's temporary directory (or VORA_HOST_ROOT when set).
std::wstring host_folder(const wchar_t* name) {
  const char* root = std::getenv("VORA_HOST_ROOT");
  std::filesystem::path base =
      root ? std::filesystem::path(root) : std::filesystem::temp_directory_path() / "vora-host";
  return (base / name).wstring();
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Files: a HANDLE stands for a POSIX descriptor opened here. Share modes have
// no POSIX equivalent and are ignored, so the protection a held handle gives
// on Windows (no writer, renamer or deleter while it is open) cannot be
// exercised on the host; only the Windows build under Wine shows it.
constexpr std::intptr_t handle_bias = 0x10000;
constexpr DWORD error_file_exists = 80;
constexpr DWORD error_not_same_device = 17;
constexpr DWORD error_invalid_name = 123;
constexpr DWORD error_gen_failure = 31;

std::mutex open_files_mutex;
std::set<int> open_files;
std::map<void*, std::size_t> mapped_views;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + handle_bias); }

// The descriptor behind a handle opened here, or -1.
int fd_of(HANDLE handle) {
  const auto value = reinterpret_cast<std::intptr_t>(handle) - handle_bias;
  if (value < 0 || value > INT_MAX) return -1;
  std::lock_guard lock(open_files_mutex);
  return open_files.count(static_cast<int>(value)) != 0u ? static_cast<int>(value) : -1;
}

DWORD error_from_errno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return error_file_exists;
    case EXDEV:
      return error_not_same_device;
    case ENAMETOOLONG:
      return error_invalid_name;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return error_gen_failure;
  }
}

template <typename Result>
Result fail_with(DWORD error, Result result) {
  last_error = error;
  return result;
}

// Wide paths become the host's narrow (UTF-8) paths; false for text that has
// no such form.
bool host_path(LPCWSTR wide, std::string& out) {
  if (!wide) return false;
  try {
    out = std::filesystem::path(std::wstring(wide)).string();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The path the descriptor's file has now, as the kernel reports it.
bool current_path(int fd, std::string& out) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return false;
  target.resize(static_cast<std::size_t>(length));
  out = std::move(target);
  return true;
}

BOOL delete_by_descriptor(int fd, const void* info, DWORD size);

void install_host_file_calls(system_calls& t) {
  t.CreateFileW = [](LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                     HANDLE) -> HANDLE {
    std::string native;
    if (!host_path(path, native)) return fail_with(error_invalid_name, INVALID_HANDLE_VALUE);
    const bool reads = (access & GENERIC_READ) != 0u;
    const bool writes = (access & GENERIC_WRITE) != 0u;
    int mode = writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
      case 1:
        mode |= O_CREAT | O_EXCL;
        break;  // CREATE_NEW
      case 2:
        mode |= O_CREAT | O_TRUNC;
        break;  // CREATE_ALWAYS
      case 3:
        break;  // OPEN_EXISTING
      case 4:
        mode |= O_CREAT;
        break;  // OPEN_ALWAYS
      case 5:
        mode |= O_TRUNC;
        break;  // TRUNCATE_EXISTING
      default:
        return fail_with(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    // Asked for the reparse point, a symbolic link is opened itself, as
    // Windows opens a link rather than its target.
    struct stat link_info {};
    const bool link = ((flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0u) && ::lstat(native.c_str(), &link_info) == 0 &&
                      S_ISLNK(link_info.st_mode);
    if (link) mode = O_PATH | O_NOFOLLOW;
    const int fd = ::open(native.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0) return fail_with(error_from_errno(errno), INVALID_HANDLE_VALUE);
    struct stat info {};
    // Directories open only with backup semantics, as on Windows.
    if (!link && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0u)) {
      ::close(fd);
      return fail_with(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    std::lock_guard lock(open_files_mutex);
    open_files.insert(fd);
    last_error = ERROR_SUCCESS;
    return handle_of(fd);
  };
  t.CloseHandle = [](HANDLE handle) -> BOOL {
    const int fd = fd_of(handle);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    {
      std::lock_guard lock(open_files_mutex);
      open_files.erase(fd);
    }
    ::close(fd);
    return TRUE;
  };
  t.ReadFile = [](HANDLE handle, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped) -> BOOL {
    if (read) *read = 0;
    const int fd = fd_of(handle);
    if (fd < 0 || overlapped) return fail_with(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER, FALSE);
    ssize_t got = 0;
    do got = ::read(fd, buffer, to_read);
    while (got < 0 && errno == EINTR);
    if (got < 0) return fail_with(error_from_errno(errno), FALSE);
    if (read) *read = static_cast<DWORD>(got);
    return TRUE;
  };
  t.GetFileSizeEx = [](HANDLE handle, PLARGE_INTEGER size) -> BOOL {
    const int fd = fd_of(handle);
    struct stat info {};
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    if (::fstat(fd, &info) != 0) return fail_with(error_from_errno(errno), FALSE);
    size->QuadPart = info.st_size;
    return TRUE;
  };
  // A mapping is a descriptor of its own on the same file; a view maps the
  // whole file and may not reach past its end (which would fault on Linux).
  t.CreateFileMappingW = [](HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD high, DWORD low,
                            LPCWSTR name) -> HANDLE {
    const int fd = fd_of(file);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, HANDLE{nullptr});
    if (protect != PAGE_READONLY || high != 0 || low != 0 || name)
      return fail_with(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return fail_with(error_from_errno(errno), HANDLE{nullptr});
    std::lock_guard lock(open_files_mutex);
    open_files.insert(copy);
    return handle_of(copy);
  };
  t.MapViewOfFile = [](HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T bytes) -> LPVOID {
    const int fd = fd_of(mapping);
    struct stat info {};
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, LPVOID{nullptr});
    if (access != FILE_MAP_READ || high != 0 || low != 0 || bytes == 0)
      return fail_with(ERROR_INVALID_PARAMETER, LPVOID{nullptr});
    if (::fstat(fd, &info) != 0) return fail_with(error_from_errno(errno), LPVOID{nullptr});
    if (bytes > static_cast<SIZE_T>(info.st_size)) return fail_with(ERROR_ACCESS_DENIED, LPVOID{nullptr});
    void* view = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return fail_with(error_from_errno(errno), LPVOID{nullptr});
    std::lock_guard lock(open_files_mutex);
    mapped_views[view] = bytes;
    return view;
  };
  t.UnmapViewOfFile = [](LPCVOID address) -> BOOL {
    std::lock_guard lock(open_files_mutex);
    const auto found = mapped_views.find(const_cast<void*>(address));
    if (found == mapped_views.end()) return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    ::munmap(found->first, found->second);
    mapped_views.erase(found);
    return TRUE;
  };
  t.SetFilePointerEx = [](HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER new_position, DWORD method) -> BOOL {
    const int fd = fd_of(handle);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    if (method > 2) return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    const int whence = method == 0 ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END;
    const off_t position = ::lseek(fd, static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) return fail_with(errno == EINVAL ? ERROR_INVALID_PARAMETER : error_from_errno(errno), FALSE);
    if (new_position) new_position->QuadPart = position;
    return TRUE;
  };
  // The path as the kernel reports it; host paths carry no long-path prefix.
  t.GetFinalPathNameByHandleW = [](HANDLE handle, LPWSTR buffer, DWORD length, DWORD) -> DWORD {
    const int fd = fd_of(handle);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, DWORD{0});
    std::string native;
    if (!current_path(fd, native)) return fail_with(error_gen_failure, DWORD{0});
    std::wstring wide;
    try {
      wide = std::filesystem::path(native).wstring();
    } catch (const std::exception&) {
      return fail_with(error_invalid_name, DWORD{0});
    }
    if (wide.size() >= length) return static_cast<DWORD>(wide.size() + 1);
    std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    return static_cast<DWORD>(wide.size());
  };
  // Only FileIdInfo: the device number stands for the volume serial number,
  // the inode number for the low half of the 128-bit file identifier.
  t.GetFileInformationByHandleEx = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                      DWORD size) -> BOOL {
    const int fd = fd_of(handle);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    if (info_class != FileIdInfo || !info) return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    if (size < sizeof(file_id_info)) return fail_with(ERROR_INSUFFICIENT_BUFFER, FALSE);
    struct stat status {};
    if (::fstat(fd, &status) != 0) return fail_with(error_from_errno(errno), FALSE);
    file_id_info identity{};
    identity.VolumeSerialNumber = static_cast<ULONGLONG>(status.st_dev);
    const auto inode = static_cast<std::uint64_t>(status.st_ino);
    std::memcpy(identity.FileId, &inode, sizeof(inode));
    std::memcpy(info, &identity, sizeof(identity));
    return TRUE;
  };
  // Only FileRenameInfo with a full target path: a rename of the file's
  // current path, which keeps the descriptor pointing at the moved file.
  t.SetFileInformationByHandle = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size) -> BOOL {
    const int fd = fd_of(handle);
    if (fd < 0) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    if (info_class == FileDispositionInfo) return delete_by_descriptor(fd, info, size);
    // Attributes have no host meaning (the read-only bit does not stop an unlink).
    if (info_class == FileBasicInfo)
      return size >= sizeof(FILE_BASIC_INFO) ? TRUE : fail_with(ERROR_INVALID_PARAMETER, FALSE);
    if (info_class != FileRenameInfo || size < sizeof(FILE_RENAME_INFO))
      return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    const auto* rename_info = static_cast<const FILE_RENAME_INFO*>(info);
    const std::size_t chars = rename_info->FileNameLength / sizeof(WCHAR);
    if (rename_info->RootDirectory != nullptr ||
        offsetof(FILE_RENAME_INFO, FileName) + rename_info->FileNameLength > size)
      return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    std::string source, target;
    if (!current_path(fd, source)) return fail_with(error_gen_failure, FALSE);
    const std::wstring wide_target(rename_info->FileName, chars);
    if (!host_path(wide_target.c_str(), target)) return fail_with(error_invalid_name, FALSE);
    const unsigned replace = (rename_info->Flags & 0xFF) != 0u ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), replace) != 0)
      return fail_with(errno == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(errno), FALSE);
    return TRUE;
  };
}

// Deleting by handle removes the very entry the descriptor was opened on: a
// symbolic link opened as a link goes, its target stays.
BOOL delete_by_descriptor(int fd, const void* info, DWORD size) {
  if (size < sizeof(FILE_DISPOSITION_INFO)) return fail_with(ERROR_INVALID_PARAMETER, FALSE);
  if (static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile == 0u) return TRUE;
  std::string path;
  if (!current_path(fd, path)) return fail_with(error_gen_failure, FALSE);
  struct stat info_now {};
  if (::lstat(path.c_str(), &info_now) != 0) return fail_with(error_from_errno(errno), FALSE);
  if (S_ISDIR(info_now.st_mode)) {
    if (::rmdir(path.c_str()) == 0) return TRUE;
    return fail_with(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : error_from_errno(errno), FALSE);
  }
  if (::unlink(path.c_str()) != 0) return fail_with(error_from_errno(errno), FALSE);
  return TRUE;
}

// Attributes as Windows reports them: a symbolic link is a reparse point
// (and a directory when it leads to one).
DWORD host_attributes(const std::string& native, DWORD& error) {
  struct stat info {};
  if (::lstat(native.c_str(), &info) != 0) {
    error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : error_from_errno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISLNK(info.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat target {};
    if (::stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISDIR(info.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if ((info.st_mode & S_IWUSR) == 0u) attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes;
}

FILETIME file_time_of(const struct timespec& time) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(time.tv_sec) * 10000000u +
                              static_cast<std::uint64_t>(time.tv_nsec) / 100u + 116444736000000000u;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A listing in progress: FindFirstFileW's handle points at one of these.
struct host_find {
  DIR* directory;
  std::string path;
};

BOOL fill_find_data(host_find& find, LPWIN32_FIND_DATAW data) {
  errno = 0;
  const dirent* entry = ::readdir(find.directory);
  if (!entry) return fail_with(errno ? error_from_errno(errno) : ERROR_NO_MORE_FILES, FALSE);
  *data = WIN32_FIND_DATAW{};
  const std::string full = find.path + "/" + entry->d_name;
  DWORD error = 0;
  data->dwFileAttributes = host_attributes(full, error);
  struct stat info {};
  if (::lstat(full.c_str(), &info) == 0) {
    data->ftLastWriteTime = file_time_of(info.st_mtim);
    data->nFileSizeLow = static_cast<DWORD>(info.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.st_size) >> 32);
  }
  std::wstring name;
  try {
    name = std::filesystem::path(entry->d_name).wstring();
  } catch (const std::exception&) {
    name = L"?";
  }
  const std::size_t count = std::min<std::size_t>(name.size(), 259);
  std::wmemcpy(data->cFileName, name.c_str(), count);
  data->cFileName[count] = L'\0';
  last_error = ERROR_SUCCESS;
  return TRUE;
}

// The host user, who owns every host file and the process token alike.
struct host_sid {
  BYTE revision = 1;
  BYTE count = 5;
  BYTE authority[6] = {0, 0, 0, 0, 0, 5};
  DWORD sub[5] = {21, 0, 0, 0, 1000};
};
host_sid host_user_sid;

// Owners the program itself gave, kept with the file: the host has none of
// its own, so everything else belongs to the host user.
constexpr const char* owner_attribute = "user.vora.owner";

std::vector<BYTE> sid_bytes(PSID sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + 8 + std::size_t{4} * bytes[1]);
}

void record_owner_of_fd(int fd, PSID owner) {
  if (!owner) return;
  const std::vector<BYTE> bytes = sid_bytes(owner);
  ::fsetxattr(fd, owner_attribute, bytes.data(), bytes.size(), 0);
}

std::vector<BYTE> owner_of_fd(int fd) {
  BYTE buffer[8 + 4 * 15];
  const ssize_t size = ::fgetxattr(fd, owner_attribute, buffer, sizeof(buffer));
  if (size < 8) return sid_bytes(&host_user_sid);
  return std::vector<BYTE>(buffer, buffer + size);
}

void install_host_directory_calls(system_calls& t) {
  t.GetFileAttributesW = [](LPCWSTR path) -> DWORD {
    std::string native;
    if (!host_path(path, native)) return fail_with(error_invalid_name, INVALID_FILE_ATTRIBUTES);
    DWORD error = 0;
    const DWORD attributes = host_attributes(native, error);
    last_error = attributes == INVALID_FILE_ATTRIBUTES ? error : ERROR_SUCCESS;
    return attributes;
  };
  t.FindFirstFileW = [](LPCWSTR pattern, LPWIN32_FIND_DATAW data) -> HANDLE {
    std::string native;
    if (!host_path(pattern, native)) return fail_with(error_invalid_name, INVALID_HANDLE_VALUE);
    // Only "directory\*" listings are needed.
    if (native.size() < 2 || native.compare(native.size() - 2, 2, "/*") != 0)
      return fail_with(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    native.resize(native.size() - 2);
    DIR* directory = ::opendir(native.c_str());
    if (!directory)
      return fail_with(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno), INVALID_HANDLE_VALUE);
    auto* find = new host_find{directory, native};
    if (fill_find_data(*find, data) == 0) {
      ::closedir(directory);
      delete find;
      return fail_with(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    return find;
  };
  t.FindNextFileW = [](HANDLE handle, LPWIN32_FIND_DATAW data) -> BOOL {
    if (!handle || handle == INVALID_HANDLE_VALUE) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    return fill_find_data(*static_cast<host_find*>(handle), data);
  };
  t.FindClose = [](HANDLE handle) -> BOOL {
    if (!handle || handle == INVALID_HANDLE_VALUE) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    auto* find = static_cast<host_find*>(handle);
    ::closedir(find->directory);
    delete find;
    return TRUE;
  };
  // The host has no security descriptors: the requested one is not applied.
  t.CreateDirectoryW = [](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
    std::string native;
    if (!host_path(path, native)) return fail_with(error_invalid_name, FALSE);
    if (::mkdir(native.c_str(), 0777) == 0) {
      const auto* descriptor =
          attributes ? static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor) : nullptr;
      if (descriptor && descriptor->Owner) {
        const std::vector<BYTE> bytes = sid_bytes(descriptor->Owner);
        ::setxattr(native.c_str(), owner_attribute, bytes.data(), bytes.size(), 0);
      }
      return TRUE;
    }
    return fail_with(errno == EEXIST   ? ERROR_ALREADY_EXISTS
                     : errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                       : error_from_errno(errno),
                     FALSE);
  };
  // Renames the entry itself, a link as a link; never replaces.
  t.MoveFileExW = [](LPCWSTR existing, LPCWSTR target, DWORD) -> BOOL {
    std::string from, to;
    if (!host_path(existing, from) || !host_path(target, to)) return fail_with(error_invalid_name, FALSE);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
    return fail_with(errno == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(errno), FALSE);
  };
  t.GetDiskFreeSpaceExW = [](LPCWSTR directory, PULARGE_INTEGER free_to_caller, PULARGE_INTEGER total,
                             PULARGE_INTEGER total_free) -> BOOL {
    std::string path;
    if (!host_path(directory, path)) return fail_with(error_invalid_name, FALSE);
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return fail_with(error_from_errno(errno), FALSE);
    if (free_to_caller) free_to_caller->QuadPart = static_cast<ULONGLONG>(info.f_bavail) * info.f_frsize;
    if (total) total->QuadPart = static_cast<ULONGLONG>(info.f_blocks) * info.f_frsize;
    if (total_free) total_free->QuadPart = static_cast<ULONGLONG>(info.f_bfree) * info.f_frsize;
    return TRUE;
  };
  t.GetSecurityInfo = [](HANDLE object, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID* group, PACL* dacl,
                         PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
    const int fd = fd_of(object);
    if (fd < 0) return ERROR_INVALID_HANDLE;
    const std::vector<BYTE> found = owner_of_fd(fd);
    // The owner lives in the descriptor's buffer, as the real call's does.
    auto* buffer = static_cast<BYTE*>(std::calloc(1, sizeof(SECURITY_DESCRIPTOR) + found.size()));
    std::memcpy(buffer + sizeof(SECURITY_DESCRIPTOR), found.data(), found.size());
    if (owner) *owner = buffer + sizeof(SECURITY_DESCRIPTOR);
    if (group) *group = nullptr;
    if (dacl) *dacl = nullptr;
    if (sacl) *sacl = nullptr;
    if (descriptor)
      *descriptor = buffer;
    else
      std::free(buffer);
    return ERROR_SUCCESS;
  };
  t.SetSecurityInfo = [](HANDLE object, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID owner, PSID, PACL,
                         PACL) -> DWORD {
    const int fd = fd_of(object);
    if (fd < 0) return ERROR_INVALID_HANDLE;
    if ((info & OWNER_SECURITY_INFORMATION) != 0u) record_owner_of_fd(fd, owner);
    return ERROR_SUCCESS;
  };
  t.SetKernelObjectSecurity = [](HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) -> BOOL {
    const int fd = fd_of(object);
    if (fd < 0 || !descriptor) return fail_with(ERROR_INVALID_HANDLE, FALSE);
    if ((info & OWNER_SECURITY_INFORMATION) != 0u)
      record_owner_of_fd(fd, static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Owner);
    return TRUE;
  };
  t.LookupPrivilegeValueW = [](LPCWSTR, LPCWSTR, PLUID luid) -> BOOL {
    *luid = LUID{1, 0};
    return TRUE;
  };
  t.AdjustTokenPrivileges = [](HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) -> BOOL {
    return TRUE;
  };
  t.InitializeSecurityDescriptor = [](PSECURITY_DESCRIPTOR descriptor, DWORD) -> BOOL {
    *static_cast<SECURITY_DESCRIPTOR*>(descriptor) = SECURITY_DESCRIPTOR{};
    return TRUE;
  };
  t.SetSecurityDescriptorDacl = [](PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL) -> BOOL { return TRUE; };
  t.SetSecurityDescriptorOwner = [](PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL) -> BOOL {
    static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Owner = owner;
    return TRUE;
  };
  t.SetSecurityDescriptorControl = [](PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                      SECURITY_DESCRIPTOR_CONTROL) -> BOOL { return TRUE; };
  t.SetEntriesInAclW = [](ULONG count, PEXPLICIT_ACCESS_W, PACL, PACL* acl) -> DWORD {
    auto* header = static_cast<ACL*>(std::calloc(1, sizeof(ACL)));
    header->AclRevision = 2;
    header->AceCount = static_cast<WORD>(count);
    *acl = header;
    return ERROR_SUCCESS;
  };
  // The token is a descriptor of its own so that CloseHandle accepts it.
  t.OpenProcessToken = [](HANDLE, DWORD, PHANDLE token) -> BOOL {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail_with(error_from_errno(errno), FALSE);
    std::lock_guard lock(open_files_mutex);
    open_files.insert(fd);
    *token = handle_of(fd);
    return TRUE;
  };
  t.GetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS info_class, LPVOID info, DWORD size,
                             PDWORD needed) -> BOOL {
    const DWORD required = info_class == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER);
    if (info_class != TokenUser && info_class != TokenOwner) return fail_with(ERROR_INVALID_PARAMETER, FALSE);
    if (needed) *needed = required;
    if (size < required || !info) return fail_with(ERROR_INSUFFICIENT_BUFFER, FALSE);
    if (info_class == TokenUser)
      static_cast<TOKEN_USER*>(info)->User = {&host_user_sid, 0};
    else
      static_cast<TOKEN_OWNER*>(info)->Owner = &host_user_sid;
    return TRUE;
  };
}
}  // namespace

system_calls default_system_calls() {
  system_calls t;
#define VORA_CALL(result, name, params) t.name = [](auto...) { return not_implemented<result>(); };
#include "platform/system_calls.def"
#undef VORA_CALL
#define VORA_SYSTEM32_CALL(module, result, name, params, failure) \
  t.name = [](auto...) { return fail_with(ERROR_CALL_NOT_IMPLEMENTED, result(failure)); };
#include "platform/system32_calls.def"
#undef VORA_SYSTEM32_CALL

  // Registry calls report their failure in the result, where 0 is success.
  t.RegOpenKeyExW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegCreateKeyExW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegQueryValueExW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegSetValueExW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegDeleteKeyExW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegDeleteValueW = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };
  t.RegFlushKey = [](auto...) { return LSTATUS(ERROR_CALL_NOT_IMPLEMENTED); };

  install_host_file_calls(t);
  install_host_directory_calls(t);
  t.GetLastError = [] { return last_error; };
  t.SetLastError = [](DWORD code) { last_error = code; };
  t.GetTickCount64 = [] {
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  t.GetSystemTimeAsFileTime = [](LPFILETIME out) {
    // 100 ns ticks since 1601-01-01, as Windows counts.
    const auto since_1970 =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() /
        100;
    const std::uint64_t ticks = static_cast<std::uint64_t>(since_1970) + 116444736000000000ull;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  };
  t.GetLocalTime = [](SYSTEMTIME* out) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    out->wYear = static_cast<WORD>(local.tm_year + 1900);
    out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    out->wDay = static_cast<WORD>(local.tm_mday);
    out->wHour = static_cast<WORD>(local.tm_hour);
    out->wMinute = static_cast<WORD>(local.tm_min);
    out->wSecond = static_cast<WORD>(local.tm_sec);
    out->wMilliseconds =
        static_cast<WORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  };
  t.GetCurrentProcessId = [] { return static_cast<DWORD>(::getpid()); };
  // The program's own file, and a folder standing in for System32.
  t.GetModuleFileNameW = [](HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
    std::error_code error;
    const std::wstring self = std::filesystem::read_symlink("/proc/self/exe", error).wstring();
    if (module != nullptr || error) return fail_with(ERROR_CALL_NOT_IMPLEMENTED, DWORD{0});
    if (self.size() >= size) return fail_with(ERROR_INSUFFICIENT_BUFFER, size);
    std::wmemcpy(buffer, self.c_str(), self.size() + 1);
    return static_cast<DWORD>(self.size());
  };
  t.GetSystemDirectoryW = [](LPWSTR buffer, UINT size) -> UINT {
    const std::wstring folder = host_folder(L"System32");
    if (folder.size() >= size) return static_cast<UINT>(folder.size() + 1);
    std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
    return static_cast<UINT>(folder.size());
  };
  t.SetDefaultDllDirectories = [](DWORD) -> BOOL { return TRUE; };
  t.shell_execute_as_desktop = [](const wchar_t*) {
    return static_cast<HRESULT>(0x80004001);
  };  // E_NOTIMPL  // no DLL search here to narrow
  t.SHGetKnownFolderPath = [](REFKNOWNFOLDERID folder, DWORD, HANDLE, PWSTR* out) -> HRESULT {
    static const GUID program_files = {0x905E63B6, 0xC1BF, 0x494E, {0xB2, 0x9C, 0x65, 0xB7, 0x32, 0xD3, 0xD2, 0x1A}};
    static const GUID program_data = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
    std::wstring path;
    if (same_guid(folder, program_files))
      path = host_folder(L"Program Files");
    else if (same_guid(folder, program_data))
      path = host_folder(L"ProgramData");
    else
      return static_cast<HRESULT>(0x80070002);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
    // Known folders exist on every Windows installation.
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
    auto* copy = static_cast<wchar_t*>(std::calloc(path.size() + 1, sizeof(wchar_t)));
    std::wmemcpy(copy, path.c_str(), path.size());
    *out = copy;
    return 0;
  };
  t.CoTaskMemFree = [](LPVOID memory) { std::free(memory); };
  t.LocalAlloc = [](UINT flags, SIZE_T bytes) -> HLOCAL {
    void* memory =
        (flags & LPTR) != 0u ? std::calloc(1, bytes != 0u ? bytes : 1) : std::malloc(bytes != 0u ? bytes : 1);
    if (!memory) last_error = ERROR_NOT_ENOUGH_MEMORY;
    return memory;
  };
  t.LocalFree = [](HLOCAL memory) -> HLOCAL {
    std::free(memory);
    return nullptr;
  };
  // wchar_t holds whole code points here; surrogate values are invalid, as
  // lone surrogates are in UTF-16.
  t.WideCharToMultiByte = [](UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR narrow,
                             int narrow_length, LPCSTR, LPBOOL) -> int {
    if (code_page != CP_UTF8 || !wide) return not_implemented<int>();
    const std::size_t count = wide_length < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wide_length);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
      // A code unit, never negative: no sign to extend.
      auto cp = static_cast<std::uint32_t>(wide[i]);  // NOLINT(bugprone-signed-char-misuse)
      if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        if ((flags & WC_ERR_INVALID_CHARS) != 0u) {
          last_error = 1113;  // ERROR_NO_UNICODE_TRANSLATION
          return 0;
        }
        cp = 0xFFFD;
      }
      if (cp < 0x80) {
        out += static_cast<char>(cp);
      } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    if (narrow_length == 0) return static_cast<int>(out.size());
    if (static_cast<std::size_t>(narrow_length) < out.size()) {
      last_error = ERROR_INSUFFICIENT_BUFFER;
      return 0;
    }
    // As the API does: with a length given, the input's own terminator (if
    // counted) is the only one written.
    std::memcpy(narrow, out.data(), out.size());  // NOLINT(bugprone-not-null-terminated-result)
    return static_cast<int>(out.size());
  };
  t.cpuid = [](std::uint32_t leaf, std::uint32_t subleaf) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    return std::array<std::uint32_t, 4>{a, b, c, d};
  };
  t.sleep_ms = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  t.under_wine = [] { return false; };
  t.exit_process = [](int code) { std::exit(code); };
  return t;
}

}  // namespace vora::platform
