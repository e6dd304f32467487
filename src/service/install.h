#pragma once

#include "platform/win32_types.h"

namespace vora {

// The /install action; every hard failure inside is fatal.
void run_install(SC_HANDLE manager);

}  // namespace vora
