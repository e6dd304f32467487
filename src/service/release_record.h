// The highest release ever installed on this machine, kept beside nothing
// else under HKLM\SOFTWARE\Vora so that no later install goes below it.
#pragma once

#include <optional>

#include "base/failure.h"
#include "download/version_resource.h"
#include "platform/win32_types.h"

namespace vora {

inline constexpr const wchar_t* release_record_key = L"SOFTWARE\\Vora";
inline constexpr const wchar_t* release_record_value = L"HighestRelease";

// The recorded release, or nothing when none was recorded. A failure when
// the record exists but cannot be read or is not a release, with the
// registry's code (ERROR_INVALID_DATA for a value that is no release).
[[nodiscard]] outcome read_release_record(std::optional<release_version>& out);

// Records release as the highest installed.
[[nodiscard]] outcome write_release_record(const release_version& release);

// Which program files of the release installed wait for the next restart
// (held by another program when it was installed), beside the record: the
// value goes when there are none.
inline constexpr const wchar_t* waiting_for_restart_value = L"WaitingForRestart";
[[nodiscard]] outcome write_waiting_for_restart(const std::wstring& names);

// Removes the record; a missing one counts as removed.
[[nodiscard]] outcome remove_release_record();

}  // namespace vora
