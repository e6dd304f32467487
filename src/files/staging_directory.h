// Where downloads and the earlier installation's set-aside files wait during
// an install: "<install directory>\.staging", which only SYSTEM and
// Administrators may open. Beside the installed files (Users may read the
// install directory) any program could hold a temporary open and so block
// its removal; here no standard user can reach one.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace vora {

std::filesystem::path staging_directory();

// The final path the staging folder must have: inside the install
// directory as it really is. Empty with the error when the install
// directory cannot be resolved.
std::wstring staging_final_path(DWORD& error);

// Creates the staging folder with the protected descriptor, or checks and
// re-secures one that exists (one that fails a check is renamed aside and
// never entered). Every later use opens its entries exactly, never through
// a link. 0 or the Windows error.
DWORD prepare_staging_directory();

// Removes everything inside but the paths in keep and the files that wait
// for the next restart (pending_suffix): what earlier runs left. An entry
// that cannot go now goes at the next restart, with a warning, and never
// blocks an install.
void clear_staging_directory(const std::vector<std::wstring>& keep);

// A verified program file that takes its place at the next restart, because
// another program held the installed one: "<name>.<run>.pending". The update
// that next handles that program file removes it, and with it the restart's
// move.
inline constexpr const wchar_t* pending_suffix = L".pending";

// Removes the files waiting for the next restart that run_part names (others
// false) or that another run's names (others true): removing one takes away
// its move at the restart.
void remove_pending_files(const std::wstring& run_part, bool others);

// Removes the folder when nothing is left inside.
void release_staging_directory();

}  // namespace vora
