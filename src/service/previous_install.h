// The earlier installation's program files during a reinstall. They are
// held from before its service is removed, set aside under other names while
// the new files take their place, and either put back when the swap fails or
// deleted once the new service runs. A swap that cannot finish therefore
// leaves the player with the installation they had.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "platform/scoped.h"
#include "service/names.h"

namespace vora {

struct previous_install {
  // Null where there was no earlier file of that name.
  per_program_file<platform::scoped_handle> files;
  per_program_file<std::wstring> final_paths;
  per_program_file<bool> aside{};
  // This run's own part of the set-aside names (see aside_path).
  std::wstring run_part;
  // Held by another program past the wait, and not the service's own file:
  // the new one takes its place at the next restart instead.
  per_program_file<bool> deferred{};

  bool any() const;
};

// Where an earlier file waits while the new one takes its name: in the
// staging folder, as "<name>.<run_part>.previous", a name no other run
// uses, so a removal at restart scheduled by one run never meets another's
// file. Setups before the run part used "<name>.previous" (run_part empty).
std::wstring aside_path(const std::wstring& final_path, const std::wstring& run_part);

// Opens every earlier program file under its final name in the install
// directory, the entry itself with DELETE access, waiting a little for
// another program that holds one without delete sharing. While these handles
// are open nobody can take such a hold anew. A file other than the service's
// that stays held is marked deferred rather than failing the update: anyone
// may open the broker and the setup, and none of them may hold an update
// back. On false the reason is logged and failed names the file, error its
// system code.
bool hold_previous_files(const per_program_file<const wchar_t*>& names, previous_install& previous, std::size_t& failed,
                         DWORD& error);

// Renames the held files to their aside names. On false the reason is
// logged, failed names the file, error its system code, and those already
// moved stay aside for restore_previous_files.
bool set_previous_files_aside(previous_install& previous, std::size_t& failed, DWORD& error);

// Puts every file that was set aside back under its final name; true when
// all of them are back.
bool restore_previous_files(previous_install& previous);

// Deletes the files set aside, once the new installation runs; one still in
// use stays with a warning and goes with the next install.
void discard_previous_files(previous_install& previous);

}  // namespace vora
