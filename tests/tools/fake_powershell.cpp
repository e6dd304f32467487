// Test helper, copied as powershell.exe beside the uninstall script: prints a
// fixed GUID, as "[guid]::NewGuid().ToString()" prints a new one.
#include <cstdio>

int wmain() {
  std::puts("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
  return 0;
}
