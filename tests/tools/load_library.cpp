// Test helper: loads a DLL by bare name with the loader's default search,
// the way a program that imports it would. Usage: load_library.exe NAME.dll
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  if (LoadLibraryW(argv[1]) == nullptr) {
    std::fprintf(stderr, "LoadLibraryW failed (Error: %lu)\n", GetLastError());
    return 1;
  }
  return 0;
}
