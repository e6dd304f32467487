#pragma once

#include "base/failure.h"
#include "platform/win32_types.h"

namespace vora {

// Stops and deletes the service if it is there; one marked for deletion
// counts as gone. removed, when given, tells whether there was a service to
// remove. The manager stays open.
[[nodiscard]] outcome remove_service(SC_HANDLE manager, bool* removed = nullptr);

// The /uninstall and /uninstall-full actions: the service, the install
// directory and, when full, the data directory with the log in use. A
// service that cannot be removed leaves every directory in place.
[[nodiscard]] outcome run_uninstall(SC_HANDLE manager, bool full);

}  // namespace vora
