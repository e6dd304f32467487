// Test helper: one download_program_file call as the install makes it, with
// its own log ("driver-..."). With HOLD_MS it creates FLAG_PATH and keeps the
// placed file held until the flag is deleted or HOLD_MS have passed, so a
// test can try to change the file from another process meanwhile.
// Exit code 0 on true, 1 on false.
// Usage: download_driver.exe NAME [HOLD_MS FLAG_PATH]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/fatal_error.h"
#include "base/text.h"
#include "diagnostics/logging.h"
#include "download/download.h"
#include "download/held_image.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: download_driver NAME [HOLD_MS FLAG_PATH]\n");
    return 2;
  }
  if (const auto cause = vora::init_diagnostics(L"driver", vora::report_fatal_error)) vora::report_fatal_error(*cause);
  std::wstring final_path;
  vora::held_image held;
  vora::prepare_download_directories();
  const bool placed =
      vora::download_program_file(argv[1], final_path, held, std::nullopt, vora::signature_check::required);
  std::printf("result: %s\n", placed ? "true" : "false");
  if (placed) {
    std::printf("final: %s\nheld: %s\n", vora::to_utf8(final_path).c_str(), vora::to_utf8(held.path).c_str());
  }
  std::fflush(stdout);
  if (placed && argc == 4) {
    HANDLE flag = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(_wtoi(argv[2]));
    while (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) Sleep(50);
  }
  held.dispose();
  return placed ? 0 : 1;
}
