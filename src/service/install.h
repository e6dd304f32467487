#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "download/held_image.h"
#include "platform/win32_types.h"

namespace vora {

// The /install action; every hard failure inside is fatal, so a return means
// the service is registered (possibly with logged warnings).
void run_install(SC_HANDLE manager);

// Writes the program's uninstall script (resource 101) to path byte for
// byte, with the system's own System32 folder in place of the placeholder;
// written, when given, receives the size written.
bool write_uninstall_script(const std::filesystem::path& path, std::uint64_t* written = nullptr);

inline constexpr const char* system32_placeholder = "@SYSTEM32@";

inline constexpr WORD uninstall_script_resource = 101;

}  // namespace vora
