// One install's downloads, as run_install makes them: the three program
// files, each fetched, verified and placed, in one run (one deadline). With
// ATTEMPTS 1 every file gets a single attempt, as before retries existed.
// Prints "result: ok|failed" and "seconds: S".
// Usage: bench_retries.exe ATTEMPTS
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>

#include "app/fatal_error.h"
#include "bench_clock.h"
#include "diagnostics/logging.h"
#include "download/download.h"
#include "download/held_image.h"
#include "download/retry_policy.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || std::wcstoul(argv[1], nullptr, 10) == 0) {
    std::fprintf(stderr, "usage: bench_retries ATTEMPTS\n");
    return 2;
  }
  if (const auto cause = vora::init_diagnostics(L"bench", vora::report_fatal_error)) vora::report_fatal_error(*cause);
  vora::download_retry_settings().attempts = static_cast<std::uint32_t>(std::wcstoul(argv[1], nullptr, 10));
  vora::prepare_download_directories();
  const double start = vora::bench::now_seconds();
  bool ok = true;
  for (const wchar_t* name : {L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe"}) {
    std::wstring final_path;
    vora::held_image held;
    ok = vora::download_program_file(name, final_path, held, std::nullopt, vora::signature_check::required);
    held.dispose();
    if (!ok) break;
  }
  std::printf("result: %s\nseconds: %.3f\n", ok ? "ok" : "failed", vora::bench::now_seconds() - start);
  return 0;
}
