// Test helper: starts diagnostics the way the setup program does, then
// faults, so the crash handler writes a dump and exits with code 1.
#include <spdlog/spdlog.h>

#include "app/fatal_error.h"
#include "diagnostics/logging.h"

namespace {

// Not inlined, so the compiler cannot see the null store coming.
__attribute__((noinline)) void write_through(volatile int* target) { *target = 42; }

}  // namespace

int wmain() {
  if (const auto cause = vora::init_diagnostics(L"crash", vora::report_fatal_error)) vora::report_fatal_error(*cause);
  spdlog::info("Crash test about to fault");
  volatile int* volatile target = nullptr;
  write_through(target);
  return 0;
}
