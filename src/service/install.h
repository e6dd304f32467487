#pragma once

#include <filesystem>
#include <string>

#include "download/held_image.h"
#include "platform/win32_types.h"

namespace vora {

// The /install action; every hard failure inside is fatal, so a return means
// the service is registered (possibly with logged warnings).
void run_install(SC_HANDLE manager);

// Writes the program's uninstall script (resource 101) to path byte for byte.
bool write_uninstall_script(const std::filesystem::path& path);

inline constexpr WORD uninstall_script_resource = 101;

}  // namespace vora
