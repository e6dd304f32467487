// Blocking waits on an open service handle. Neither call closes the handle
// nor reports anything: on false the caller reads GetLastError.
#pragma once

#include <cstdint>

#include "platform/win32_types.h"

namespace vora {

inline constexpr std::uint64_t service_stop_timeout_ms = 15000;
inline constexpr DWORD service_process_exit_timeout_ms = 10000;

// Polls until the service reports wanted_state. False on a failed query, a
// pending step that stops making progress for longer than its wait hint, a
// service that stopped while it was awaited running, or when more than
// timeout_ms have passed; last then holds the latest status answered.
bool wait_for_service_state(SC_HANDLE service, DWORD wanted_state, std::uint64_t timeout_ms,
                            SERVICE_STATUS_PROCESS* last = nullptr);

// Asks the service to stop and waits until it is stopped, then gives its
// process a bounded time to end. True also when it was not running.
bool stop_service_and_wait(SC_HANDLE service);

}  // namespace vora
