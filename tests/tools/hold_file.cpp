// Test helper: keeps a file open without delete sharing, as another program
// using the install directory would, and says so with a flag file.
// Usage: hold_file.exe PATH FLAG_PATH MILLISECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hold_file PATH FLAG_PATH MILLISECONDS\n");
    return 2;
  }
  HANDLE file =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "open failed: %lu\n", GetLastError());
    return 1;
  }
  HANDLE flag = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
  Sleep(static_cast<DWORD>(_wtoi(argv[3])));
  CloseHandle(file);
  return 0;
}
