// The VoraAntiCheat registration during an install or update: set to this
// setup's configuration (kept, never deleted and made anew, when it exists),
// configured and started; and the earlier service stopped for an update.
#pragma once

#include <optional>
#include <string>

#include "base/failure.h"
#include "platform/scoped.h"
#include "platform/win32_types.h"

namespace vora {

// Sets the registration to this setup's configuration for the service
// file (kept when it exists, whatever it said before), or creates it
// (created tells), with its description, failure actions and permissions;
// service keeps it open for the start.
[[nodiscard]] outcome configure_service(SC_HANDLE manager, const std::wstring& service_path,
                                        platform::scoped_service_handle& service, bool& created);

// Starts the service (started tells); one already running is no failure.
[[nodiscard]] outcome start_service(SC_HANDLE service, bool& started);

// Waits for the service to run. One that does not (stopped, or still
// starting when the wait ends) fails with its exit code when required (an
// update, which has an earlier installation to go back to), and is only a
// warning otherwise.
[[nodiscard]] outcome confirm_service_running(SC_HANDLE service, bool required);

// Deletes the registration; one already gone or marked for deletion counts
// as deleted.
bool delete_service_registration(SC_HANDLE manager);

// The three above in turn: the earlier installation's service when it is
// put back.
[[nodiscard]] outcome register_and_start(SC_HANDLE manager, const std::wstring& service_path);

// Stops the earlier service so its files can be swapped; its registration
// stays. A service that is not registered is no failure.
[[nodiscard]] outcome stop_service_for_update(SC_HANDLE manager);

}  // namespace vora
