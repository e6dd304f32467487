#pragma once

#include <filesystem>
#include <string>

#include "platform/win32_types.h"

namespace vora {

// The crash directory as resolved during static initialisation.
const std::filesystem::path& program_crash_directory();

// Dump files start with this (the wide run context).
const std::wstring& crash_dump_prefix();

// Dump type: data segments, full memory, handles, unloaded modules, threads.
inline constexpr DWORD crash_dump_type = 0x00001027;

void install_crash_handler(const std::wstring& run_context_wide);

// The process's top-level filter; it never returns.
LONG crash_filter(EXCEPTION_POINTERS* exception);

}  // namespace vora
