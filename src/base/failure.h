// How an operation that can fail for an outside reason (the system, the
// network, a file someone else put there) says so: one record, returned, so
// the caller keeps its cleanup and only the action dispatch ends the run.
#pragma once

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/win32_types.h"

namespace vora {

struct failure {
  // The message the user sees in the box and the log's fatal line.
  std::string message;
  // The system's error code behind it, 0 when there is none (a refused
  // file, a bad manifest).
  DWORD error = 0;
};

// Empty on success.
using outcome = std::optional<failure>;

template <typename... Args>
failure fail_with(DWORD error, fmt::format_string<Args...> format, Args&&... args) {
  return failure{fmt::format(format, std::forward<Args>(args)...), error};
}

// The failure for a system error code, named in the message (its one
// field); none for 0.
template <typename Code>
outcome fail_on_error(Code error, fmt::format_string<DWORD> format) {
  const auto code = static_cast<DWORD>(error);
  if (code == 0) return std::nullopt;
  return failure{fmt::format(format, DWORD{code}), code};
}

// Runs once, first, when a failure ends the run: what the run moved out of
// the way goes back before the exit. Set by whoever moved it.
void set_fatal_error_undo(void (*undo)());
// Hands the undo over and clears it, so an undo that itself fails is not
// run again.
void (*take_fatal_error_undo())();

}  // namespace vora
