#include "diagnostics/crash_handler.h"

#include <fmt/xchar.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdlib>
#include <exception>

#include "base/text.h"
#include "diagnostics/logging.h"
#include "diagnostics/pruning.h"
#include "files/directories.h"
#include "platform/crt.h"
#include "platform/system.h"

namespace vora {
namespace {

// Until the handler is installed there is no box to show: just the exit.
crash_report end_crashed_run = [](const std::string&) { sys().exit_process(1); };

std::wstring& mutable_prefix() {
  static std::wstring prefix;
  return prefix;
}

// The runtime's own endings (terminate, abort) print a line and exit with
// code 3; raising a structured exception instead brings them to the
// top-level filter, so they leave a dump and a box like any other crash.
[[noreturn]] void raise_fatal_runtime_exception() {
  sys().RaiseException(fatal_runtime_exception_code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  // Reached only where nothing can be raised (a build without Windows).
  std::_Exit(1);
}

void on_abort_signal(int) { raise_fatal_runtime_exception(); }

}  // namespace

const std::filesystem::path& program_crash_directory() { return this_run_directories().crashes; }
const std::wstring& crash_dump_prefix() { return mutable_prefix(); }

outcome install_crash_handler(const std::wstring& run_context_wide, crash_report report) {
  mutable_prefix() = run_context_wide;
  std::error_code ec;
  std::filesystem::create_directories(program_crash_directory(), ec);
  if (ec) {
    return fail_with(static_cast<DWORD>(ec.value()), "Failed to create crash directory '{}': {}",
                     narrow_path(program_crash_directory()), ec.message());
  }
  end_crashed_run = report;
  prune_old_files(program_crash_directory(), L".dmp", 720, 15);
  sys().SetUnhandledExceptionFilter(crash_filter);
  std::set_terminate(terminate_through_crash_filter);
  std::signal(SIGABRT, on_abort_signal);
  platform::runtime_errors_to_stderr();
  return std::nullopt;
}

void terminate_through_crash_filter() {
  if (logging_ready) {
    if (const std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const std::exception& error) {
        spdlog::error("Unhandled C++ exception: {}", escape_for_log(error.what()));
      } catch (...) {
        spdlog::error("Unhandled C++ exception of a type other than std::exception");
      }
    }
  }
  raise_fatal_runtime_exception();
}

LONG crash_filter(EXCEPTION_POINTERS* exception) {
  SYSTEMTIME now{};
  sys().GetLocalTime(&now);
  const std::wstring name = fmt::format(L"{}_{:04}-{:02}-{:02}_{:02}-{:02}-{:02}.dmp", crash_dump_prefix(), now.wYear,
                                        now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  const std::filesystem::path dump_path = program_crash_directory() / name;

  const std::wstring wide_path = dump_path.wstring();
  HANDLE file =
      sys().CreateFileW(wide_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    end_crashed_run(
        fmt::format("A fatal error has occurred and the program has crashed.\n\nAdditionally, a crash dump could not "
                    "be written (Error: {}).\n\nPlease report this to staff.",
                    sys().GetLastError()));
    return EXCEPTION_EXECUTE_HANDLER;
  }

  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = sys().GetCurrentThreadId();
  info.ExceptionPointers = exception;
  info.ClientPointers = FALSE;
  // The file stays open: process exit closes it.
  if (sys().MiniDumpWriteDump(sys().GetCurrentProcess(), sys().GetCurrentProcessId(), file,
                              static_cast<MINIDUMP_TYPE>(crash_dump_type), &info, nullptr, nullptr) != 0) {
    end_crashed_run(fmt::format(
        "A fatal error has occurred and the program has crashed.\n\nA crash report has been saved to:\n{}\n\nPlease "
        "report this to staff.",
        narrow_path(dump_path)));
    return EXCEPTION_EXECUTE_HANDLER;
  }
  const DWORD error = sys().GetLastError();
  end_crashed_run(
      fmt::format("A fatal error has occurred and the program has crashed.\n\nFailed to save the crash report (Error: "
                  "{}).\n\nAttempted crash report path:\n{}\n\nPlease report this to staff.",
                  error, narrow_path(dump_path)));
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace vora
