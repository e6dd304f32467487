#include "diagnostics/logging.h"

#include <fmt/xchar.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>

#include "base/text.h"
#include "diagnostics/crash_handler.h"
#include "diagnostics/pruning.h"
#include "files/directories.h"
#include "files/protected_directory.h"
#include "platform/crt.h"

namespace vora {
namespace {

std::unique_ptr<spdlog::formatter> crlf_formatter() {
  return std::make_unique<spdlog::pattern_formatter>(log_pattern, spdlog::pattern_time_type::local, "\r\n");
}

std::time_t now_seconds() { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); }

}  // namespace

bool logging_ready = false;
std::shared_ptr<spdlog::logger> program_logger;

std::string& run_context() {
  static std::string context;
  return context;
}

const std::filesystem::path& program_log_directory() { return this_run_directories().logs; }

std::wstring dated_file_name(const std::wstring& context, const std::tm& local, const wchar_t* extension) {
  return fmt::format(L"{}_{:04}-{:02}-{:02}_{:02}-{:02}-{:02}{}", context, local.tm_year + 1900, local.tm_mon + 1,
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, extension);
}

void name_run(const std::wstring& run_name) {
  const auto seconds = static_cast<long long>(now_seconds());
  run_context() = to_utf8(fmt::format(L"{}-{}", run_name, seconds));
}

outcome init_diagnostics(const std::wstring& run_name, crash_report report) {
  name_run(run_name);
  // The name and the seconds: ASCII.
  const std::wstring context(run_context().begin(), run_context().end());
  // Before the first file is created in the data directory.
  if (auto cause = prepare_data_directories(start_up_notes())) return cause;
  if (auto cause = install_crash_handler(context, report)) return cause;
  return init_logging(context);
}

std::vector<std::string>& start_up_notes() {
  static std::vector<std::string> notes;
  return notes;
}

void log_start_up_notes() {
  for (const auto& note : start_up_notes()) spdlog::warn("{}", note);
  start_up_notes().clear();
}

outcome init_logging(const std::wstring& run_context_wide) {
  const std::filesystem::path& directory = program_log_directory();
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    return fail_with(static_cast<DWORD>(ec.value()), "Failed to create log directory '{}': {} (code: {})",
                     narrow_path(directory), ec.message(), ec.value());
  }

  prune_old_files(directory, L".log", 720, 150);

  const std::tm local = platform::local_time(now_seconds());
  const std::filesystem::path file = directory / dated_file_name(run_context_wide, local, L".log");
  // The manifest makes UTF-8 the process's narrow code page, so this is the
  // name the file system sees.
  const std::string narrow_file = narrow_path(file);

  std::shared_ptr<spdlog::logger> logger;
  try {
    logger = spdlog::basic_logger_mt(logger_name, narrow_file, /*truncate=*/false);
  } catch (const spdlog::spdlog_ex& error) {
    return fail_with(0, "Failed to create logger '{}': {}", narrow_file, error.what());
  }
  if (!logger) return fail_with(0, "Failed to create logger '{}': logger returned null", narrow_file);
  program_logger = std::move(logger);

  program_logger->set_formatter(crlf_formatter());
  program_logger->set_level(spdlog::level::info);
  spdlog::set_default_logger(program_logger);
  spdlog::flush_on(spdlog::level::info);
  logging_ready = true;
  return std::nullopt;
}

void shutdown_logging() {
  if (!program_logger) return;
  program_logger->flush();
  spdlog::drop(logger_name);
  auto null_logger = std::make_shared<spdlog::logger>("null", std::make_shared<spdlog::sinks::null_sink_st>());
  null_logger->set_formatter(crlf_formatter());
  spdlog::set_default_logger(null_logger);
  program_logger.reset();
}

}  // namespace vora
