#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/failure.h"
#include "download/held_image.h"
#include "platform/win32_types.h"

namespace vora {

// The /install action. Empty means the service is registered and running
// (possibly with logged warnings); a failure has left any earlier
// installation as it was and dropped what was downloaded.
[[nodiscard]] outcome run_install(SC_HANDLE manager);

// What the user is told when a program file could not be brought in or put
// in place: the message names the file.
failure download_failure(std::size_t file);

// Writes the program's uninstall script (resource 101) to path byte for
// byte, with the system's own System32 folder in place of the placeholder;
// written, when given, receives the size written.
bool write_uninstall_script(const std::filesystem::path& path, std::uint64_t* written = nullptr);

inline constexpr const char* system32_placeholder = "@SYSTEM32@";

inline constexpr WORD uninstall_script_resource = 101;

}  // namespace vora
