// The update in flight, kept under HKLM\SOFTWARE\Vora (64-bit view), where
// only SYSTEM and Administrators can write, and flushed before each phase
// begins: a run killed mid-swap (a launcher's time-out, a crash, a power cut)
// is finished or undone by the next run of any action, network or not.
#pragma once

#include <optional>

#include "platform/win32_types.h"

namespace vora {

enum class swap_phase {
  // The earlier service may be stopped and its files set aside as
  // "<name>.previous" while the new ones take their names: undo.
  swapping,
  // The new service was confirmed running: only the clean-up is left.
  running,
};

inline constexpr const wchar_t* swap_journal_value = L"UpdateInProgress";

// False with the registry's code when the phase could not be recorded.
bool record_swap_phase(swap_phase phase, LSTATUS& error);

// The recorded phase, or nothing. False when the value exists but cannot be
// read or names no phase (ERROR_INVALID_DATA): nobody can then tell which
// installation is whole, so nothing may guess.
bool read_swap_phase(std::optional<swap_phase>& out, LSTATUS& error);

// Forgets the update; one that is not recorded counts as forgotten.
bool forget_swap(LSTATUS& error);

// In a test build, ends the process at once, as a kill would, when the
// environment's VORA_TEST_KILL_AT names this point; nothing otherwise.
void kill_point(const char* name);

}  // namespace vora
