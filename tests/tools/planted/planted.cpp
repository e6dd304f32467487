// A hostile DLL for the DLL-search tests, built once under each name the
// program uses (dbghelp.dll, wintrust.dll, winhttp.dll, crypt32.dll) and
// planted beside it. Loading it leaves C:\users\Public\planted-<name>.txt
// naming the process that loaded it; it exports nothing.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  HANDLE marker = CreateFileW(L"C:\\users\\Public\\planted-" VORA_PLANTED_NAME L".txt", FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return TRUE;
  wchar_t program[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  DWORD written = 0;
  WriteFile(marker, program, length * sizeof(wchar_t), &written, nullptr);
  WriteFile(marker, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
  CloseHandle(marker);
  return TRUE;
}
