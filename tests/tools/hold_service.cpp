// Test helper: keeps a handle to a service open for status queries, as the
// Services console or a monitoring tool of any interactive user does, and
// says so with a flag file. Usage: hold_service.exe NAME FLAG_PATH MILLISECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hold_service NAME FLAG_PATH MILLISECONDS\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
  if (!service) {
    std::fprintf(stderr, "open failed: %lu\n", GetLastError());
    return 1;
  }
  HANDLE flag = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
  Sleep(static_cast<DWORD>(_wtoi(argv[3])));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
