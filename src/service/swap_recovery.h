// The first thing every run does before it touches the installation: an
// update that was killed mid-swap is finished (its commit step had begun)
// or undone by the same steps that undo a failed one (the earlier files put
// back by name, the registration set to them, running), and a setup that
// had moved itself out of the install directory is put back. Needs no
// network.
#pragma once

#include <optional>
#include <string>

#include "base/failure.h"
#include "platform/win32_types.h"

namespace vora {

// The user message when the journal cannot be read or the earlier
// installation cannot be put back; the journal then stays for the next run.
outcome recover_interrupted_update(SC_HANDLE manager);

// After an uninstall that went on past a put-back that failed: once the
// install directory is gone there is nothing left to put back, and the
// journal goes (kept, it would stop every later install). With anything
// left, the failure of the put-back stands.
outcome forget_recovery_once_removed(const failure& put_back);

}  // namespace vora
