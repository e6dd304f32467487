// Test helper: holds the single-instance mutex for a while, and with "guard"
// the setup's own lock too, as a running copy of the setup holds both; says
// so with a flag file. Usage: hold_mutex.exe [MILLISECONDS [guard]]
#include <windows.h>

#include <cstdlib>
#include <string>

#include "app/entry.h"
#include "app/single_instance.h"

int wmain(int argc, wchar_t** argv) {
  const DWORD hold_ms = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 20000;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, vora::single_instance_mutex_name);
  if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 2;
  DWORD error = 0;
  HANDLE lock = argc > 2 && std::wstring(argv[2]) == L"guard" ? vora::open_single_instance_lock(error) : nullptr;
  if (error) return 3;
  HANDLE flag =
      CreateFileW(L"C:\\mutex-held", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
  Sleep(hold_ms);
  if (lock) CloseHandle(lock);
  CloseHandle(mutex);
  return 0;
}
