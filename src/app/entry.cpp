#include "app/entry.h"

#include <spdlog/spdlog.h>

#include <argparse/argparse.hpp>
#include <array>
#include <exception>

#include "app/fatal_error.h"
#include "app/single_instance.h"
#include "base/text.h"
#include "build_config.h"
#include "diagnostics/logging.h"
#include "download/version_resource.h"
#include "environment/avx2.h"
#include "files/directories.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/install.h"
#include "service/running_setup.h"
#include "service/swap_recovery.h"
#include "service/uninstall.h"

namespace vora {

std::vector<std::string> command_line_arguments() {
  int count = 0;
  LPWSTR* wide = sys().CommandLineToArgvW(sys().GetCommandLineW(), &count);
  if (wide == nullptr) {
    const DWORD error = sys().GetLastError();
    spdlog::error("CommandLineToArgvW failed (Error: {})", error);
    report_fatal_error("Failed to parse command line (Error: {}).", error);
  }
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) arguments.push_back(to_utf8(wide[i] ? wide[i] : L""));
  sys().LocalFree(wide);
  return arguments;
}

setup_action parse_setup_action(const std::vector<std::string>& arguments) {
  setup_action result;
  {
    argparse::ArgumentParser parser("setup", "1.0", argparse::default_arguments::none);
    parser.set_prefix_chars("/");
    auto& group = parser.add_mutually_exclusive_group(/*required=*/false);
    group.add_argument("/install").help("Install the Vora launcher service").flag();
    group.add_argument("/uninstall").help("Uninstall the Vora launcher service").flag();
    group.add_argument("/uninstall-full")
        .help("Uninstall the Vora launcher service and all associated program data (logs, crash dumps, etc.)")
        .flag();

    // The library splits "/install=x" into two arguments even in element 0,
    // which would let the program's own name select an action; it only ever
    // names the program, so the parser gets a fixed one.
    std::vector<std::string> parsed{"setup"};
    if (!arguments.empty()) parsed.insert(parsed.end(), arguments.begin() + 1, arguments.end());
    try {
      parser.parse_args(parsed);
    } catch (const std::exception& error) {
      spdlog::error("Failed to parse command line: {}", escape_for_log(error.what()));
      const std::string help = parser.help().str();
      report_fatal_error("Failed to parse command line.\n\n{}", help);
    }

    if (parser.is_used("/install")) {
      result.action = setup_action::kind::install;
      spdlog::info("Selected action: Install");
    } else if (parser.is_used("/uninstall")) {
      result.action = setup_action::kind::uninstall;
      spdlog::info("Selected action: Uninstall");
    } else if (parser.is_used("/uninstall-full")) {
      result.action = setup_action::kind::uninstall;
      result.full = true;
      spdlog::info("Selected action: Uninstall (Full)");
    } else {
      spdlog::warn("No setup action specified");
    }
  }
  return result;
}

int run_setup() {
  // Every failure an operation returns ends the run here, with its message.
  const auto end_on = [](outcome cause) {
    if (cause) report_fatal_error(*cause);
  };
  // Named first: even the earliest refusal names the run in its box.
  name_run(L"setup");
  end_on(resolve_known_folders());
  note_running_image();
  // Before anything is written: a second setup leaves no trace.
  bool mutex_taken = false;
  end_on(take_single_instance_guard(mutex_taken));
  end_on(init_diagnostics(L"setup", report_fatal_error));
  spdlog::info("Setup process starting");
  spdlog::info("Vora setup release {}", version_text(std::to_array(build::this_release)));
  log_start_up_notes();
  if (mutex_taken) spdlog::warn("Another program holds the instance mutex; it does not stop this setup");

  const setup_action action = parse_setup_action(command_line_arguments());
  // Only an install needs the processor: removing the product must work on a
  // machine that has lost AVX2 since.
  if (action.action != setup_action::kind::uninstall && !require_avx2()) {
    sys().exit_process(0);
    return 0;  // exit_process never returns; a test fake throws instead
  }
  if (action.action == setup_action::kind::none) {
    spdlog::error("No valid setup action specified");
    report_fatal_error("No valid action specified.\n\nUsage: /install | /uninstall");
  }

  SC_HANDLE manager = sys().OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    const DWORD error = sys().GetLastError();
    spdlog::error("OpenSCManagerW failed (Error: {})", error);
    report_fatal_error("Failed to open a handle to the Service Control Manager (Error: {}).", error);
  }
  spdlog::info("Successfully opened Service Control Manager");
  // Whole before either action touches it, network or not. Removing the
  // product goes on past a put-back that failed: nothing blocks the way out.
  const outcome recovered = recover_interrupted_update(manager);
  if (recovered && action.action == setup_action::kind::install) end_on(recovered);
  if (recovered) spdlog::error("{} Removing what is there.", recovered->message);
  // Run from the install directory, the program's own file is in the way of
  // both actions.
  move_running_setup_out();

  if (action.action == setup_action::kind::install) {
    spdlog::info("Beginning installation");
    end_on(run_install(manager));
    spdlog::info("Completed installation");
  } else {
    const char* word = action.full ? "uninstallation (full)" : "uninstallation";
    spdlog::info("Beginning {}", word);
    end_on(run_uninstall(manager, action.full));
    if (recovered) end_on(forget_recovery_once_removed(*recovered));
    spdlog::info("Completed {}", word);
  }

  settle_running_setup();
  sys().CloseServiceHandle(manager);
  spdlog::info("Setup process exiting successfully");
  return 0;
}

}  // namespace vora
