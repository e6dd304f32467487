#pragma once

#include <filesystem>
#include <string>

#include "base/failure.h"
#include "platform/win32_types.h"

namespace vora {

// Where this run's dumps go: the Crashes folder, unless securing the data
// directories chose a fresh folder for this run.
const std::filesystem::path& program_crash_directory();

// Dump files start with this (the wide run context).
const std::wstring& crash_dump_prefix();

// Dump type: data segments, full memory, handles, unloaded modules, threads.
inline constexpr DWORD crash_dump_type = 0x00001027;

// Code of the structured exception raised for an uncaught C++ exception,
// std::terminate or abort(), so they end through crash_filter as well
// (customer bit set, severity error).
inline constexpr DWORD fatal_runtime_exception_code = 0xE0564F52;

// How a crash ends the run once its dump is written or has failed: shows
// the message and exits. The program's own fatal-error report, handed down
// by whoever installs the handler.
using crash_report = void (*)(const std::string& message);

// Also routes std::terminate and SIGABRT into crash_filter.
[[nodiscard]] outcome install_crash_handler(const std::wstring& run_context_wide, crash_report report);

// The terminate handler installed above: logs the uncaught exception's text
// when logging is ready, then raises fatal_runtime_exception_code.
[[noreturn]] void terminate_through_crash_filter();

// The process's top-level filter; it never returns.
LONG crash_filter(EXCEPTION_POINTERS* exception);

}  // namespace vora
