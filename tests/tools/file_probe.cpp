// Test helper: tries to change a file the way another process might while
// the setup program holds it, and prints the Win32 error of each attempt
// (0 when the attempt succeeded). Usage: file_probe.exe PATH RENAME_TARGET
#include <windows.h>

#include <cstdio>

namespace {

DWORD try_open(const wchar_t* path, DWORD access) {
  HANDLE file = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: file_probe PATH RENAME_TARGET\n");
    return 2;
  }
  const wchar_t* path = argv[1];
  std::printf("open_write: %lu\n", try_open(path, GENERIC_WRITE));
  std::printf("open_delete: %lu\n", try_open(path, DELETE));
  std::printf("delete: %lu\n", DeleteFileW(path) ? 0UL : GetLastError());
  std::printf("rename: %lu\n", MoveFileExW(path, argv[2], MOVEFILE_REPLACE_EXISTING) ? 0UL : GetLastError());
  return 0;
}
