// The first thing every run does before it touches the installation: an
// update that was killed mid-swap is finished (its new service had been
// confirmed running) or undone (the earlier files put back by handle, the
// registration set to them, running). Needs no network.
#pragma once

#include <array>

#include "platform/win32_types.h"

namespace vora {

// Fatal when the journal cannot be read or the earlier installation cannot
// be put back; the journal then stays for the next run.
void recover_interrupted_update(SC_HANDLE manager, const std::array<const wchar_t*, 3>& program_files);

}  // namespace vora
