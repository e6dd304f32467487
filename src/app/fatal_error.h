#pragma once

#include <fmt/format.h>

#include <string>
#include <utility>

#include "base/failure.h"

namespace vora {

// The one way an unrecoverable failure ends the program: logs the message
// (once logging is ready), shows it in a box when a desktop is available and
// exits with code 1.
[[noreturn]] void report_fatal_error(const std::string& message);

// The dispatch's end for a failure an operation returned.
[[noreturn]] inline void report_fatal_error(const failure& cause) { report_fatal_error(cause.message); }

template <typename... Args>
requires(sizeof...(Args) > 0) [[noreturn]] void report_fatal_error(fmt::format_string<Args...> format, Args&&... args) {
  report_fatal_error(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace vora
