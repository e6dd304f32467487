#include "app/entry.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <fstream>
#include <sstream>

#include "app/single_instance.h"
#include "build_config.h"
#include "diagnostics/logging.h"
#include "download/version_resource.h"
#include "files/directories.h"
#include "files/protected_directory.h"
#include "test_support.h"

namespace vora {
namespace {

std::string this_setup_line() { return "Vora setup release " + version_text(std::to_array(build::this_release)); }

using test::captured_log;
using test::fake_system;

// The parser alone: what each command line yields.
class ParseSetupAction : public ::testing::Test {
 protected:
  setup_action parse(std::vector<std::string> args) {
    args.insert(args.begin(), "C:\\Program Files\\Vora\\VoraSetup.exe");
    return parse_setup_action(args);
  }
  fake_system fakes_;
  captured_log log_;
};

TEST_F(ParseSetupAction, EachOptionSelectsItsAction) {
  auto install = parse({"/install"});
  EXPECT_EQ(install.action, setup_action::kind::install);
  EXPECT_TRUE(log_.contains(spdlog::level::info, "Selected action: Install"));

  auto uninstall = parse({"/uninstall"});
  EXPECT_EQ(uninstall.action, setup_action::kind::uninstall);
  EXPECT_FALSE(uninstall.full);
  EXPECT_TRUE(log_.contains(spdlog::level::info, "Selected action: Uninstall"));

  auto full = parse({"/uninstall-full"});
  EXPECT_EQ(full.action, setup_action::kind::uninstall);
  EXPECT_TRUE(full.full);
  EXPECT_TRUE(log_.contains(spdlog::level::info, "Selected action: Uninstall (Full)"));
  EXPECT_TRUE(fakes_.boxes.empty());
}

TEST_F(ParseSetupAction, NoOptionIsNoActionWithAWarning) {
  auto none = parse({});
  EXPECT_EQ(none.action, setup_action::kind::none);
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"No setup action specified"});
  EXPECT_EQ(log_.records()[0].level, spdlog::level::warn);
}

TEST_F(ParseSetupAction, RejectedCommandLinesShowTheHelp) {
  const std::vector<std::vector<std::string>> rejected = {
      {"/install", "/uninstall"},
      {"/uninstall", "/uninstall-full"},
      {"/install", "/install"},
      {"/INSTALL"},
      {"install"},
      {"-install"},
      {"--install"},
      {"/install=1"},
      {"/install", "extra"},
      {""},  // what an argument that is not valid UTF-16 becomes
  };
  for (const auto& args : rejected) {
    SCOPED_TRACE(::testing::PrintToString(args));
    log_.clear();
    fakes_.boxes.clear();
    EXPECT_EQ(VORA_EXIT_CODE(parse(args)), 1);
    ASSERT_FALSE(log_.records().empty());
    EXPECT_EQ(log_.records()[0].level, spdlog::level::err);
    EXPECT_EQ(log_.records()[0].text.rfind("Failed to parse command line: ", 0), 0u) << log_.records()[0].text;
    ASSERT_EQ(fakes_.boxes.size(), 1u);
    const std::string& box = fakes_.boxes[0].text;
    EXPECT_EQ(box.rfind("Failed to parse command line.\n\nUsage: setup", 0), 0u) << box;
    EXPECT_NE(box.find("/install"), std::string::npos);
    EXPECT_NE(box.find("Install the Vora launcher service"), std::string::npos);
    EXPECT_NE(box.find("Uninstall the Vora launcher service and all associated program data (logs, crash dumps, etc.)"),
              std::string::npos);
    EXPECT_EQ(box.find("--help"), std::string::npos) << "no automatic options";
  }
}

TEST_F(ParseSetupAction, ElementZeroIsOnlyTheProgramName) {
  // The library would split these into an option and a value.
  for (const std::string program : {"/install=/uninstall", "/uninstall-full=", "/install=x"}) {
    SCOPED_TRACE(program);
    log_.clear();
    setup_action action;
    EXPECT_EQ(VORA_EXIT_CODE(action = parse_setup_action({program})), -1);
    EXPECT_EQ(action.action, setup_action::kind::none);
    EXPECT_TRUE(fakes_.boxes.empty());
  }
  const auto install = parse_setup_action({"/uninstall=", "/install"});
  EXPECT_EQ(install.action, setup_action::kind::install);
}

TEST_F(ParseSetupAction, EmptyListIsNoAction) {
  setup_action action;
  EXPECT_EQ(VORA_EXIT_CODE(action = parse_setup_action({})), -1);
  EXPECT_EQ(action.action, setup_action::kind::none);
  EXPECT_TRUE(fakes_.boxes.empty());
}

TEST_F(ParseSetupAction, LibraryReasonGoesToTheLogOnly) {
  EXPECT_EQ(VORA_EXIT_CODE(parse({"/install", "/uninstall"})), 1);
  EXPECT_EQ(log_.records()[0].text, "Failed to parse command line: Argument '/uninstall' not allowed with '/install'");
  EXPECT_EQ(fakes_.boxes[0].text.find("not allowed"), std::string::npos);
}

// Reads the process's command line through the seam.
TEST(CommandLineArguments, ConvertsEveryArgumentAndFreesTheArray) {
  fake_system fakes;
  captured_log log;
  static wchar_t arg0[] = L"C:\\Vora\\VoraSetup.exe";
  static wchar_t arg1[] = L"/install";
  static wchar_t arg2[] = {L'x', static_cast<wchar_t>(0xDC00), 0};
  static LPWSTR argv[] = {arg0, arg1, arg2};
  static wchar_t command_line[] = L"VoraSetup.exe /install x";
  bool freed = false;
  sys().GetCommandLineW = [] { return command_line; };
  sys().CommandLineToArgvW = [](LPCWSTR line, int* count) {
    EXPECT_EQ(line, command_line);
    *count = 3;
    return argv;
  };
  sys().LocalFree = [&](HLOCAL memory) -> HLOCAL {
    EXPECT_EQ(memory, static_cast<HLOCAL>(argv));
    freed = true;
    return nullptr;
  };
  EXPECT_EQ(command_line_arguments(), (std::vector<std::string>{"C:\\Vora\\VoraSetup.exe", "/install", ""}));
  EXPECT_TRUE(freed);
}

TEST(CommandLineArguments, FailureIsLoggedAndFatal) {
  fake_system fakes;
  captured_log log;
  sys().CommandLineToArgvW = [](LPCWSTR, int*) -> LPWSTR* {
    sys().SetLastError(8);
    return nullptr;
  };
  EXPECT_EQ(VORA_EXIT_CODE(command_line_arguments()), 1);
  EXPECT_TRUE(log.contains(spdlog::level::err, "CommandLineToArgvW failed (Error: 8)"));
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to parse command line (Error: 8).");
}

// The whole start-up, with this run's real log file.
class RunSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    // Folders another test made are not the program's own: start afresh.
    release_data_directories();
    std::filesystem::remove_all(data_directory());
    auto& t = sys();
    t.SetUnhandledExceptionFilter = [](LPTOP_LEVEL_EXCEPTION_FILTER) -> LPTOP_LEVEL_EXCEPTION_FILTER {
      return nullptr;
    };
    t.cpuid = [](std::uint32_t leaf, std::uint32_t) {
      if (leaf == 0) return std::array<std::uint32_t, 4>{7, 0, 0, 0};
      if (leaf == 7) return std::array<std::uint32_t, 4>{0, 1u << 5, 0, 0};
      return std::array<std::uint32_t, 4>{};
    };
    t.CreateMutexW = [this](LPSECURITY_ATTRIBUTES attributes, BOOL owner, LPCWSTR name) -> HANDLE {
      EXPECT_EQ(attributes, nullptr);
      EXPECT_EQ(owner, FALSE);
      EXPECT_EQ(std::wstring(name), L"Global\\{e2aa88ff-7b17-410a-bc34-5ebd4bcb4216}");
      sys().SetLastError(mutex_error);
      return mutex_result;
    };
    // Start-up closes handles of its own (the data directories); only the
    // mutex is watched.
    t.CloseHandle = [this, real = t.CloseHandle](HANDLE handle) {
      if (handle != mutex_result || handle == nullptr) return real(handle);
      closed_handles.push_back(handle);
      return TRUE;
    };
    t.GetCommandLineW = [] { return const_cast<LPWSTR>(L"setup"); };
    t.CommandLineToArgvW = [this](LPCWSTR, int* count) {
      *count = static_cast<int>(argv.size());
      return argv.data();
    };
    // The fake argument list is not the platform's to free; start-up frees its own buffers.
    t.LocalFree = [this, real = t.LocalFree](HLOCAL memory) -> HLOCAL {
      return memory == static_cast<HLOCAL>(argv.data()) ? nullptr : real(memory);
    };
    t.OpenSCManagerW = [this](LPCWSTR machine, LPCWSTR database, DWORD access) -> SC_HANDLE {
      EXPECT_EQ(machine, nullptr);
      EXPECT_EQ(database, nullptr);
      EXPECT_EQ(access, 3u);
      sys().SetLastError(5);
      return manager_result;
    };
  }
  void TearDown() override {
    shutdown_logging();
    release_data_directories();
  }
  std::vector<std::string> log_lines() {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(program_log_directory())) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream content;
      content << in.rdbuf();
      std::string text = content.str();
      std::size_t start = 0;
      for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        const auto second = line.find("] ", line.find("] ") + 2);
        lines.push_back(line.substr(second + 2));
      }
    }
    return lines;
  }
  void set_args(std::vector<const wchar_t*> args) {
    argv.clear();
    argv.push_back(const_cast<LPWSTR>(L"VoraSetup.exe"));
    for (auto* arg : args) argv.push_back(const_cast<LPWSTR>(arg));
  }

  fake_system fakes_;
  HANDLE mutex_result = reinterpret_cast<HANDLE>(0x51);
  DWORD mutex_error = 0;
  std::vector<HANDLE> closed_handles;
  std::vector<LPWSTR> argv{const_cast<LPWSTR>(L"VoraSetup.exe")};
  SC_HANDLE manager_result = nullptr;
};

TEST_F(RunSetup, NoActionEndsWithTheUsage) {
  EXPECT_EQ(VORA_EXIT_CODE(run_setup()), 1);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{
                             "Setup process starting",
                             this_setup_line(),
                             "No setup action specified",
                             "No valid setup action specified",
                             "Fatal error thrown: \"No valid action specified.\\n\\nUsage: /install | /uninstall\"",
                         }));
  EXPECT_EQ(fakes_.boxes.at(0).text, "No valid action specified.\n\nUsage: /install | /uninstall");
  EXPECT_EQ(fakes_.boxes.at(0).caption, "Vora Error (Context: " + run_context() + ")");
  EXPECT_EQ(run_context().rfind("setup-", 0), 0u);
  EXPECT_TRUE(closed_handles.empty()) << "the mutex stays open";
}

// Any process may create the global mutex first; it refuses nothing.
TEST_F(RunSetup, AMutexSomebodyElseMadeOrNoMutexAtAllStopsNothing) {
  for (const DWORD error : {DWORD{ERROR_ALREADY_EXISTS}, DWORD{5}}) {
    mutex_error = error;
    mutex_result = error == 5 ? nullptr : reinterpret_cast<HANDLE>(0x51);
    EXPECT_EQ(VORA_EXIT_CODE(run_setup()), 1);
    const auto lines = log_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "No valid setup action specified"), lines.end());
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "Another program holds the instance mutex; it does not stop this setup"),
        error == 5 ? 0 : 1);
    shutdown_logging();
    release_data_directories();
    std::filesystem::remove_all(data_directory());
  }
}

// The guard is a file only administrators can create, shared with nobody:
// while one setup holds it a second is refused before it writes anything.
TEST_F(RunSetup, ASecondSetupIsRefusedBeforeItWritesAnything) {
  const std::wstring lock = single_instance_lock_path().wstring();
  std::vector<std::pair<DWORD, DWORD>> opened;  // share mode, flags
  sys().CreateFileW = [&, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                    LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                    HANDLE templ) {
    if (path != lock) return real(path, access, share, attributes, disposition, flags, templ);
    opened.emplace_back(share, flags);
    EXPECT_NE(attributes, nullptr) << "created with its own DACL";
    sys().SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  };
  EXPECT_EQ(VORA_EXIT_CODE(run_setup()), 1);
  EXPECT_EQ(opened,
            (std::vector<std::pair<DWORD, DWORD>>{{0u, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT}}));
  EXPECT_EQ(fakes_.boxes.at(0).text, "Please close all other instances of Vora setup before starting another.");
  EXPECT_EQ(fakes_.boxes.at(0).caption.rfind("Vora Error (Context: setup-", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(data_directory())) << "no folder, no log";
}

TEST_F(RunSetup, ServiceControlManagerFailure) {
  set_args({L"/install"});
  EXPECT_EQ(VORA_EXIT_CODE(run_setup()), 1);
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{
                "Setup process starting",
                this_setup_line(),
                "Selected action: Install",
                "OpenSCManagerW failed (Error: 5)",
                "Fatal error thrown: \"Failed to open a handle to the Service Control Manager (Error: 5).\"",
            }));
}

}  // namespace
}  // namespace vora
