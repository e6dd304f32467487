// The Windows GUI entry point: no window, one action, an exit code.
#include "app/entry.h"
#include "platform/win32_types.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return vora::run_setup(); }
