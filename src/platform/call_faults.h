// Test builds only: the calls through the seam from an update's first step
// are counted, so that one moment of every update has a number.
// VORA_TEST_KILL_AT_CALL=N ends the process with exit code 9, as a kill
// would, just before the N-th call; VORA_TEST_FAIL_AT_CALL=N makes the N-th
// call fail once, with an error that call can really return (ERROR_DISK_FULL
// for a move, ERROR_SHARING_VIOLATION for an open, ERROR_ACCESS_DENIED for
// the registry, ERROR_SERVICE_REQUEST_TIMEOUT for service control); a call
// that cannot fail, such as CloseHandle, is made as usual. A release build
// never reads either variable and never wraps a call.
#pragma once

#include <cstdint>
#include <string>

namespace vora::platform {

struct system_calls;

// Wraps every call of the table when the environment asks for either.
void count_calls(system_calls& table);

// Begins the count again: from here on every call counts, the next one as
// call 1.
void count_calls_from_here();

// The calls counted so far (0 before the count began, or when nothing was
// asked for).
std::uint64_t calls_counted();

// The call failed on purpose, as "N Name", or empty.
std::string call_failed_on_purpose();

}  // namespace vora::platform
