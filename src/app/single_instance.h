// One setup at a time, decided where only administrators can act. A named
// mutex in the global namespace can be created first by any process of any
// user, which would refuse every setup for as long as it lives; a file that
// only administrators can create cannot.
#pragma once

#include <filesystem>

#include "base/failure.h"
#include "platform/system.h"

namespace vora {

inline constexpr const char* instance_message =
    "Please close all other instances of Vora setup before starting another.";

// Beside the install directory, in Program Files, where only administrators
// may create files.
std::filesystem::path single_instance_lock_path();

// The lock: that file, created with a DACL of SYSTEM and Administrators
// only, shared with nobody and deleted when its last handle closes (a
// crashed setup holds it no longer). Null, with error set, when it cannot be
// had; ERROR_SHARING_VIOLATION means another setup holds it.
HANDLE open_single_instance_lock(DWORD& error);

// Takes the lock for the life of the process before anything is written;
// another setup's is a failure with instance_message. The named mutex is
// still created for whoever watches it, but one that exists already refuses
// nothing: mutex_taken tells whether somebody else had created it.
[[nodiscard]] outcome take_single_instance_guard(bool& mutex_taken);

}  // namespace vora
