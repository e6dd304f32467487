// Test helper: holds the single-instance mutex for a while, as a running
// copy of the setup program would, and says so with a flag file.
#include <windows.h>

#include <cstdlib>

#include "app/entry.h"

int wmain(int argc, wchar_t** argv) {
  const DWORD hold_ms = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 20000;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, vora::single_instance_mutex_name);
  if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 2;
  HANDLE flag =
      CreateFileW(L"C:\\mutex-held", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
  Sleep(hold_ms);
  CloseHandle(mutex);
  return 0;
}
