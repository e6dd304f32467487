#pragma once

#include <fmt/format.h>

#include <string>
#include <utility>

namespace vora {

// The one way an unrecoverable failure ends the program: logs the message
// (once logging is ready), shows it in a box when a desktop is available and
// exits with code 1.
[[noreturn]] void report_fatal_error(const std::string& message);

// Runs once, first, when a fatal error ends the program: what the run moved
// out of the way goes back before the exit.
void set_fatal_error_undo(void (*undo)());

template <typename... Args>
requires(sizeof...(Args) > 0) [[noreturn]] void report_fatal_error(fmt::format_string<Args...> format, Args&&... args) {
  report_fatal_error(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace vora
