#pragma once

#include <string>
#include <vector>

namespace vora {

struct setup_action {
  enum class kind { none, install, uninstall };
  kind action = kind::none;
  bool full = false;  // only for /uninstall-full
};

inline constexpr const wchar_t* single_instance_mutex_name = L"Global\\{e2aa88ff-7b17-410a-bc34-5ebd4bcb4216}";

// The process's command line as UTF-8 arguments, element 0 included.
std::vector<std::string> command_line_arguments();

// Parses the arguments (element 0 is the program); a rejected command line
// is fatal. Logs the chosen action.
setup_action parse_setup_action(const std::vector<std::string>& arguments);

// The whole program: start-up, one action, exit code.
int run_setup();

}  // namespace vora
