// The program's entry in Windows' list of installed programs (Settings, Apps,
// Control Panel, winget and deployment tools all read it), in the 64-bit view.
#pragma once

#include <cstdint>
#include <filesystem>

#include "base/failure.h"
#include "download/version_resource.h"
#include "platform/win32_types.h"

namespace vora {

inline constexpr const wchar_t* uninstall_entry_key =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VoraAntiCheat";

struct uninstall_entry {
  release_version release{};
  std::filesystem::path install_directory;
  std::uint64_t installed_bytes = 0;
  SYSTEMTIME installed_on{};
};

// Writes the entry afresh, so no value of an earlier one survives; a write
// that fails part way removes what it wrote.
[[nodiscard]] outcome write_uninstall_entry(const uninstall_entry& entry);

// Removes the entry; a missing one counts as removed.
[[nodiscard]] outcome remove_uninstall_entry();

}  // namespace vora
