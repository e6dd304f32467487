#pragma once

#include <spdlog/logger.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/failure.h"
#include "diagnostics/crash_handler.h"

namespace vora {

// "setup-<seconds since 1970>", UTF-8; empty until name_run or init_diagnostics.
std::string& run_context();

// Set once the file logger is the default logger; never cleared.
extern bool logging_ready;

// The file logger, owned here until shutdown_logging.
extern std::shared_ptr<spdlog::logger> program_logger;

// Where this run's log goes: the Logs folder, unless securing the data
// directories chose a fresh folder for this run.
const std::filesystem::path& program_log_directory();

inline constexpr const char* log_pattern = "[%Y-%m-%d %H:%M:%S] [%l] %v";
inline constexpr const char* logger_name = "vora_anticheat";

// Names the run ("<run_name>-<seconds>") without writing anything, so that a
// refusal before init_diagnostics still names it in its box.
void name_run(const std::wstring& run_name);
// Names the run, secures the data directories, installs the crash handler
// (report ends a crashed run) and opens this run's log.
[[nodiscard]] outcome init_diagnostics(const std::wstring& run_name, crash_report report);
[[nodiscard]] outcome init_logging(const std::wstring& run_context_wide);

// What preparing the data directories found (directories moved aside), kept
// until the run's first record is written; log_start_up_notes writes them as
// warnings.
std::vector<std::string>& start_up_notes();
void log_start_up_notes();
// Closes the log file so the data directory can be removed.
void shutdown_logging();

// "<context>_YYYY-MM-DD_HH-MM-SS" + extension, from local time.
std::wstring dated_file_name(const std::wstring& context, const std::tm& local, const wchar_t* extension);

}  // namespace vora
