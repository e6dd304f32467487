// The VoraAntiCheat registration during an install or update: set to this
// setup's configuration (kept, never deleted and made anew, when it exists),
// configured and started; and the earlier service stopped for an update.
#pragma once

#include <optional>
#include <string>

#include "platform/win32_types.h"

namespace vora {

// Why the service could not be registered, stopped or started: the message
// the user sees.
struct service_failure {
  std::string message;
};

// Registers the service for the service file, or sets an existing
// registration to it, and configures and starts it. A failure that leaves no
// running service comes back as the user message for it; a registration made
// here is then deleted when delete_on_failure is set.
std::optional<service_failure> register_and_start(SC_HANDLE manager, const std::wstring& service_path,
                                                  bool delete_on_failure);

// Stops the earlier service so its files can be swapped; its registration
// stays. A service that is not registered is no failure.
std::optional<service_failure> stop_service_for_update(SC_HANDLE manager);

}  // namespace vora
