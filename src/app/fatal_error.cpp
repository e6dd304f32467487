#include "app/fatal_error.h"

#include <spdlog/spdlog.h>

#include <cstdlib>

#include "base/failure.h"
#include "base/text.h"
#include "diagnostics/logging.h"
#include "platform/system.h"

namespace vora {

void report_fatal_error(const std::string& message) {
  // Cleared first: a fatal error inside the undo must not run it again.
  if (auto undo = take_fatal_error_undo()) undo();
  if (logging_ready) spdlog::error("Fatal error thrown: \"{}\"", escape_for_log(message));

  // Without an input desktop (a service session, a locked workstation) a box
  // would never be seen: the log line is the only trace.
  HDESK desktop = sys().OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (desktop != nullptr) {
    sys().CloseDesktop(desktop);
    const std::string title = fmt::format("Vora Error (Context: {})", run_context());
    sys().MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
  }
  sys().exit_process(1);
  std::abort();  // exit_process never returns; a test fake throws instead
}

}  // namespace vora
