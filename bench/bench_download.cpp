// One timed download_program_file call, as the install makes it: download,
// verification and placement. Prints "name: value" lines.
// Usage: bench_download.exe NAME
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "app/fatal_error.h"
#include "bench_clock.h"
#include "diagnostics/logging.h"
#include "download/download.h"
#include "download/held_image.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_download NAME\n");
    return 2;
  }
  if (const auto cause = vora::init_diagnostics(L"bench", vora::report_fatal_error)) vora::report_fatal_error(*cause);
  std::wstring final_path;
  vora::prepare_download_directories();
  vora::held_image held;
  const double start = vora::bench::now_seconds();
  const bool placed =
      vora::download_program_file(argv[1], final_path, held, std::nullopt, vora::signature_check::required);
  const double seconds = vora::bench::now_seconds() - start;
  held.dispose();
  if (!placed) return 1;
  std::printf("seconds: %.3f\n", seconds);
  return 0;
}
