#pragma once

#include "platform/win32_types.h"

namespace vora {

// The /uninstall and /uninstall-full actions.
void run_uninstall(SC_HANDLE manager, bool full);

}  // namespace vora
