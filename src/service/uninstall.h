#pragma once

#include "platform/win32_types.h"

namespace vora {

// Stops and deletes the service if it is there. Returns when it is gone or
// marked for deletion; any other failure is fatal. The manager stays open.
// False when there was no service to remove.
bool remove_service(SC_HANDLE manager);

// The /uninstall and /uninstall-full actions: the service, the install
// directory and, when full, the data directory with the log in use.
void run_uninstall(SC_HANDLE manager, bool full);

}  // namespace vora
