// Test helper: starts diagnostics the way the setup program does, then ends
// the way the runtime ends a program: an uncaught C++ exception (no
// argument), "abort" calls std::abort, "terminate" calls std::terminate.
// Each must leave a dump and exit with code 1 like a fault does.
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "app/fatal_error.h"
#include "diagnostics/logging.h"

namespace {

// Not inlined, so the throw happens in a frame of its own.
__attribute__((noinline)) void throw_from_below(const std::string& text) { throw std::runtime_error(text); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"throw";
  if (const auto cause = vora::init_diagnostics(mode, vora::report_fatal_error)) vora::report_fatal_error(*cause);
  spdlog::info("Throw test about to end abnormally");
  if (mode == L"abort") std::abort();
  if (mode == L"terminate") std::terminate();
  throw_from_below("nobody catches this");
  return 0;
}
