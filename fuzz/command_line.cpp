// From the process's wide argument list to an action or a fatal error.
// Input: a flag byte (bit 0: CommandLineToArgvW fails, with the error code in
// the next four bytes; bit 1: it yields no element at all), then the arguments separated by zero bytes, element 0
// (the program) first; wide text as in wide_from_bytes. The process exit is
// replaced by a throw, so every path comes back here to be checked.
#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "fuzz_support.h"
#include "platform/system.h"

namespace {

struct process_exit {
  int code;
};

struct run_state {
  std::vector<std::wstring> elements;
  std::vector<wchar_t*> argv;
  bool fail_split = false;
  DWORD split_error = 0;
  int frees = 0;
  std::vector<std::string> boxes;
};

wchar_t command_line_text[] = L"VoraSetup.exe (fuzzed)";

void install_fakes(run_state& s) {
  auto& t = vora::sys();
  t = vora::platform::default_system_calls();
  t.GetCommandLineW = [] { return command_line_text; };
  t.CommandLineToArgvW = [&s](LPCWSTR line, int* count) -> LPWSTR* {
    FUZZ_CHECK(line == command_line_text && count != nullptr);
    if (s.fail_split) {
      vora::sys().SetLastError(s.split_error);
      return nullptr;
    }
    *count = static_cast<int>(s.elements.size());
    return s.argv.data();
  };
  t.LocalFree = [&s](HLOCAL memory) -> HLOCAL {
    FUZZ_CHECK(memory == static_cast<void*>(s.argv.data()));
    ++s.frees;
    return nullptr;
  };
  t.OpenInputDesktop = [](DWORD, BOOL, ACCESS_MASK) { return reinterpret_cast<HDESK>(std::intptr_t{0x44}); };
  t.CloseDesktop = [](HDESK) -> BOOL { return TRUE; };
  t.MessageBoxA = [&s](HWND, LPCSTR text, LPCSTR, UINT) {
    s.boxes.emplace_back(text);
    return 1;
  };
  t.exit_process = [](int code) { throw process_exit{code}; };
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vora::fuzz::use_null_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  run_state s;
  const std::uint8_t flags = data[0];
  s.fail_split = flags & 1;
  ++data, --size;
  if (s.fail_split) {
    if (size < 4) return 0;
    std::memcpy(&s.split_error, data, 4);
  } else {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size && !(flags & 2); ++i) {
      if (i == size || data[i] == 0) {
        s.elements.push_back(vora::fuzz::wide_from_bytes(data + start, i - start));
        start = i + 1;
      }
    }
    for (auto& element : s.elements) s.argv.push_back(element.data());
    s.argv.push_back(nullptr);  // also a non-null array when there are no elements
  }

  const vora::platform::scoped_system_calls restore;
  install_fakes(s);
  const auto log = vora::fuzz::use_record_logger();

  std::vector<std::string> arguments;
  vora::setup_action action;
  int exit_code = -1;
  try {
    arguments = vora::command_line_arguments();
    FUZZ_CHECK(s.frees == 1);
    action = vora::parse_setup_action(arguments);
  } catch (const process_exit& exit) {
    exit_code = exit.code;
  }

  if (s.fail_split) {
    FUZZ_CHECK(exit_code == 1);
    FUZZ_CHECK(s.boxes.size() == 1);
    FUZZ_CHECK(s.boxes[0] == fmt::format("Failed to parse command line (Error: {}).", s.split_error));
    FUZZ_CHECK(!log->records.empty() && log->records[0].first == spdlog::level::err &&
               log->records[0].second == fmt::format("CommandLineToArgvW failed (Error: {})", s.split_error));
    return 0;
  }

  // Each element as UTF-8 up to its terminator; one that is not valid UTF-16
  // becomes "".
  std::vector<std::string> expected;
  for (const auto& element : s.elements) {
    std::string narrow;
    if (!vora::fuzz::reference_utf8(std::wstring(element.c_str()), narrow)) narrow.clear();
    expected.push_back(narrow);
  }
  FUZZ_CHECK(arguments == expected);

  // Exactly one of the three options, spelt exactly, and nothing else.
  const std::vector<std::string> options(expected.empty() ? expected.end() : expected.begin() + 1, expected.end());
  if (options.empty()) {
    FUZZ_CHECK(exit_code == -1 && s.boxes.empty());
    FUZZ_CHECK(action.action == vora::setup_action::kind::none && !action.full);
    FUZZ_CHECK(log->records.size() == 1 && log->records[0].first == spdlog::level::warn &&
               log->records[0].second == "No setup action specified");
    return 0;
  }
  if (options.size() == 1 &&
      (options[0] == "/install" || options[0] == "/uninstall" || options[0] == "/uninstall-full")) {
    FUZZ_CHECK(exit_code == -1 && s.boxes.empty());
    const auto kind =
        options[0] == "/install" ? vora::setup_action::kind::install : vora::setup_action::kind::uninstall;
    FUZZ_CHECK(action.action == kind);
    FUZZ_CHECK(action.full == (options[0] == "/uninstall-full"));
    const char* selected = options[0] == "/install"     ? "Selected action: Install"
                           : options[0] == "/uninstall" ? "Selected action: Uninstall"
                                                        : "Selected action: Uninstall (Full)";
    FUZZ_CHECK(log->records.size() == 1 && log->records[0].first == spdlog::level::info &&
               log->records[0].second == selected);
    return 0;
  }
  FUZZ_CHECK(exit_code == 1);
  FUZZ_CHECK(s.boxes.size() == 1);
  const std::string& box = s.boxes[0];
  FUZZ_CHECK(starts_with(box, "Failed to parse command line.\n\nUsage: setup"));
  FUZZ_CHECK(box.find("Install the Vora launcher service") != std::string::npos);
  FUZZ_CHECK(
      box.find("Uninstall the Vora launcher service and all associated program data (logs, crash dumps, etc.)") !=
      std::string::npos);
  FUZZ_CHECK(!log->records.empty() && log->records[0].first == spdlog::level::err &&
             starts_with(log->records[0].second, "Failed to parse command line: "));
  return 0;
}
