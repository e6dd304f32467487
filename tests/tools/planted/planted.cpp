// A hostile DLL for the DLL-search tests, built under each name the program
// loads from System32 (dbghelp.dll, wintrust.dll, winhttp.dll, crypt32.dll)
// and planted beside it, possibly copied under further names. Loading it
// leaves C:\users\Public\planted-<its file name without .dll>.txt naming the
// process that loaded it; it exports nothing.
#include <windows.h>

#include <cwchar>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(self, path, MAX_PATH);
  const wchar_t* name = std::wcsrchr(path, L'\\') ? std::wcsrchr(path, L'\\') + 1 : path;
  wchar_t marker_path[MAX_PATH] = {};
  _snwprintf(marker_path, MAX_PATH - 1, L"C:\\users\\Public\\planted-%.*ls.txt",
             static_cast<int>(std::wcslen(name)) - 4, name);
  HANDLE marker = CreateFileW(marker_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return TRUE;
  wchar_t program[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  DWORD written = 0;
  WriteFile(marker, program, length * sizeof(wchar_t), &written, nullptr);
  WriteFile(marker, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
  CloseHandle(marker);
  return TRUE;
}
