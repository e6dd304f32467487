// The update in flight, kept under HKLM\SOFTWARE\Vora (64-bit view), where
// only SYSTEM and Administrators can write, and flushed before each step
// begins: a run killed mid-swap (a launcher's time-out, a crash, a power cut)
// is finished or undone by the next run of any action, network or not. The
// files it concerns have fixed names (the program files, their set-aside and
// downloaded forms in the staging folder), so the step is all it records,
// with whether a service was registered before the update. The setup's own
// file, when it moved itself out of the install directory, is recorded
// beside it until the run has succeeded.
#pragma once

#include <optional>
#include <string>

#include "base/failure.h"
#include "platform/win32_types.h"
#include "service/names.h"

namespace vora {

struct swap_record {
  std::string step;              // the last step begun
  bool earlier_service = false;  // VoraAntiCheat was registered before the update
};

inline constexpr const wchar_t* swap_journal_value = L"UpdateInProgress";
inline constexpr const wchar_t* moved_setup_value = L"MovedSetup";

// The failure of a journal that cannot be read, or that says what nobody
// can act on (ERROR_INVALID_DATA).
[[nodiscard]] outcome unreadable_journal(LSTATUS error);

// A failure carries the registry's code.
[[nodiscard]] outcome record_swap_step(const swap_record& record);

// The recorded step, or nothing. A failure when the value exists but cannot
// be read or names no step the way this setup writes them
// (ERROR_INVALID_DATA): nobody can then tell which installation is whole,
// so nothing may guess.
[[nodiscard]] outcome read_swap_record(std::optional<swap_record>& out);

// Forgets the update and the files it placed; one that is not recorded
// counts as forgotten.
[[nodiscard]] outcome forget_swap();

// Where the running setup went when it moved itself out of the install
// directory, and its path there.
struct moved_setup_record {
  std::wstring moved;
  std::wstring home;
};

// The part of the set-aside names the update chose (16 hexadecimal digits),
// recorded before its first step; an earlier setup's journal has none.
inline constexpr const wchar_t* swap_run_value = L"UpdateRun";
[[nodiscard]] outcome record_swap_run(const std::wstring& run_part);
[[nodiscard]] outcome read_swap_run(std::optional<std::wstring>& out);

// The identity (volume and 128-bit file ID) of each new file an update puts
// in place, recorded before the first is placed. After a kill, the undo
// takes away only a file it recognises by it: once an earlier file is back
// under its name, an undo that runs again leaves it alone.
using placed_file_ids = per_program_file<std::optional<platform::file_id_info>>;
inline constexpr const wchar_t* placed_files_value = L"UpdatePlaced";

[[nodiscard]] outcome record_placed_files(const placed_file_ids& ids);
// Nothing when no update recorded them (an earlier setup's journal).
[[nodiscard]] outcome read_placed_files(std::optional<placed_file_ids>& out);

[[nodiscard]] outcome record_moved_setup(const moved_setup_record& record);
[[nodiscard]] outcome read_moved_setup(std::optional<moved_setup_record>& out);
[[nodiscard]] outcome forget_moved_setup();

// In a test build, ends the process at once, as a kill would, when the
// environment's VORA_TEST_KILL_AT names this point; nothing otherwise.
void kill_point(const std::string& name);

}  // namespace vora
