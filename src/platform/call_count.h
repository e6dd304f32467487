// Test builds only: a way to end the process, as a kill would, at any one
// call through the seam. VORA_TEST_KILL_AT_CALL=N ends it with exit code 9
// just before the N-th call made after count_calls_from_here; a release
// build never reads the variable and never wraps a call.
#pragma once

#include <cstdint>

namespace vora::platform {

struct system_calls;

// Wraps every call of the table when the environment asks for a kill.
void count_calls(system_calls& table);

// Begins the count: from here on every call counts. The update's first step
// calls it, so call N names the same moment of every update.
void count_calls_from_here();

// The calls counted so far (0 before the count began, or when nothing asked
// for a kill).
std::uint64_t calls_counted();

}  // namespace vora::platform
