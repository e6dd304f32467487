// The Windows GUI entry point: no window, one action, an exit code.
#include "app/entry.h"
#include "platform/system.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Elevated, started from wherever it was downloaded: no DLL loaded from now
  // on may come from the program's folder, the current directory or PATH.
  vora::sys().SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return vora::run_setup();
}
