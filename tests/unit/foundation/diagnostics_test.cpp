#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "diagnostics/crash_handler.h"
#include "diagnostics/logging.h"
#include "diagnostics/pruning.h"
#include "files/directories.h"
#include "platform/scoped.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;
using test::captured_log;
using test::fake_system;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void touch(const fs::path& path, std::chrono::seconds age) {
  std::ofstream(path, std::ios::binary) << "x";
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

// ---- Directories ----

std::wstring folder_path(const GUID& folder) {
  std::wstring path;
  EXPECT_FALSE(known_folder_path(folder, path));
  return path;
}

TEST(Directories, ComposedFromTheKnownFoldersAndCached) {
  EXPECT_EQ(install_directory().filename(), fs::path(L"Vora"));
  EXPECT_EQ(install_directory().parent_path(), fs::path(folder_path(folder_id_program_files)));
  EXPECT_EQ(data_directory().parent_path(), fs::path(folder_path(folder_id_program_data)));
  EXPECT_EQ(log_directory(), data_directory() / L"Logs");
  EXPECT_EQ(crash_directory(), data_directory() / L"Crashes");
  EXPECT_EQ(program_log_directory(), log_directory());
  EXPECT_EQ(program_crash_directory(), crash_directory());

  fake_system fakes;
  int shell_calls = 0;
  sys().SHGetKnownFolderPath = [&](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*) -> HRESULT {
    ++shell_calls;
    return static_cast<HRESULT>(0x80004005);
  };
  EXPECT_EQ(install_directory().filename(), fs::path(L"Vora"));  // cached: the shell is not asked again
  EXPECT_EQ(shell_calls, 0);
}

TEST(Directories, KnownFolderFailureIsFatal) {
  fake_system fakes;
  captured_log log;
  bool freed = false;
  sys().SHGetKnownFolderPath = [](REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR*) -> HRESULT {
    EXPECT_EQ(std::memcmp(&folder, &folder_id_program_data, sizeof(GUID)), 0);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(token, nullptr);
    return static_cast<HRESULT>(0x80070002);
  };
  sys().CoTaskMemFree = [&](LPVOID) { freed = true; };
  std::wstring path;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(known_folder_path(folder_id_program_data, path))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to resolve known folder path.");
  EXPECT_FALSE(freed);
}

TEST(Directories, KnownFolderBufferIsFreedWithTheShellAllocator) {
  fake_system fakes;
  static wchar_t shell_buffer[] = L"D:\\Data";
  LPVOID freed = nullptr;
  sys().SHGetKnownFolderPath = [](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* out) -> HRESULT {
    *out = shell_buffer;
    return 0;
  };
  sys().CoTaskMemFree = [&](LPVOID memory) { freed = memory; };
  EXPECT_EQ(folder_path(folder_id_program_data), L"D:\\Data");
  EXPECT_EQ(freed, shell_buffer);
}

TEST(RemoveTreeWithRetries, MissingPathIsRemovedAtOnce) {
  fake_system fakes;
  std::error_code ec = std::make_error_code(std::errc::io_error);
  const fs::path missing = test::make_temp_dir("remove") / "not-there";
  EXPECT_TRUE(remove_tree_with_retries(missing, ec, 5));
  EXPECT_FALSE(ec);
  EXPECT_TRUE(fakes.sleeps.empty());
}

TEST(RemoveTreeWithRetries, RemovesAWholeTree) {
  fake_system fakes;
  const fs::path root = test::make_temp_dir("remove");
  fs::create_directories(root / "a" / "b");
  touch(root / "a" / "b" / "file.exe", std::chrono::seconds(0));
  touch(root / "top.bat", std::chrono::seconds(0));
  std::error_code ec;
  EXPECT_TRUE(remove_tree_with_retries(root, ec, 5)) << ec.value();
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(fakes.sleeps.empty());
}

TEST(RemoveTreeWithRetries, NoAttemptsTouchesNothing) {
  fake_system fakes;
  const fs::path root = test::make_temp_dir("remove");
  const std::error_code before = std::make_error_code(std::errc::permission_denied);
  for (int attempts : {0, -1}) {
    std::error_code ec = before;
    EXPECT_FALSE(remove_tree_with_retries(root, ec, attempts));
    EXPECT_EQ(ec, before);
  }
  EXPECT_TRUE(fs::exists(root));
}

#ifdef _WIN32
// Holding a file open without delete sharing is how Windows keeps a tree in
// place; the host cannot do that, so these run in the Windows build only.
platform::scoped_handle hold_new_file(const fs::path& path) {
  touch(path, std::chrono::seconds(0));
  return platform::scoped_handle(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

TEST(RemoveTreeWithRetries, HeldFileFailsEveryAttemptWithAPauseAfterEach) {
  const fs::path root = test::make_temp_dir("remove");
  platform::scoped_handle held = hold_new_file(root / "held.exe");
  ASSERT_TRUE(held.valid());
  fake_system fakes;
  std::error_code ec;
  EXPECT_FALSE(remove_tree_with_retries(root, ec, 5));
  EXPECT_TRUE(ec);
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>(5, 300)));
  EXPECT_TRUE(fs::exists(root / "held.exe"));
}

TEST(RemoveTreeWithRetries, FileReleasedBetweenAttemptsLetsTheNextOneSucceed) {
  const fs::path root = test::make_temp_dir("remove");
  platform::scoped_handle held = hold_new_file(root / "held.exe");
  ASSERT_TRUE(held.valid());
  fake_system fakes;
  sys().sleep_ms = [&](std::uint32_t ms) {
    fakes.sleeps.push_back(ms);
    if (fakes.sleeps.size() == 2) held.reset();
  };
  std::error_code ec;
  EXPECT_TRUE(remove_tree_with_retries(root, ec, 5));
  EXPECT_FALSE(ec);
  EXPECT_EQ(fakes.sleeps.size(), 2u);
  EXPECT_FALSE(fs::exists(root));
}
#endif

// ---- Pruning ----

class Pruning : public ::testing::Test {
 protected:
  fs::path dir_ = test::make_temp_dir("prune");
  captured_log log_;
};

TEST_F(Pruning, KeepsTheNewestUpToTheCount) {
  for (int i = 0; i < 160; ++i) touch(dir_ / ("f" + std::to_string(i) + ".log"), std::chrono::minutes(10 + i));
  prune_old_files(dir_, L".log", 720, 150);
  for (int i = 0; i < 160; ++i) {
    EXPECT_EQ(fs::exists(dir_ / ("f" + std::to_string(i) + ".log")), i < 150) << i;
  }
}

TEST_F(Pruning, AgeLimitIsStrictAndAppliesBelowTheCount) {
  using std::chrono::hours;
  using std::chrono::minutes;
  touch(dir_ / "expired.log", hours(720) + minutes(1));
  touch(dir_ / "young.log", hours(720) - minutes(1));
  touch(dir_ / "future.log", -hours(48));
  prune_old_files(dir_, L".log", 720, 150);
  EXPECT_FALSE(fs::exists(dir_ / "expired.log"));
  EXPECT_TRUE(fs::exists(dir_ / "young.log"));
  EXPECT_TRUE(fs::exists(dir_ / "future.log"));
}

TEST_F(Pruning, FutureFileTakesOneOfThePlaces) {
  touch(dir_ / "future.dmp", -std::chrono::hours(1));
  touch(dir_ / "newer.dmp", std::chrono::minutes(1));
  touch(dir_ / "older.dmp", std::chrono::minutes(2));
  prune_old_files(dir_, L".dmp", 720, 2);
  EXPECT_TRUE(fs::exists(dir_ / "future.dmp"));
  EXPECT_TRUE(fs::exists(dir_ / "newer.dmp"));
  EXPECT_FALSE(fs::exists(dir_ / "older.dmp"));
}

TEST_F(Pruning, OnlyRegularFilesWithTheExactExtension) {
  const auto old = std::chrono::hours(2000);
  for (const char* name : {"x.LOG", "x.log.old", "x", ".log", "x.dmp"}) touch(dir_ / name, old);
  fs::create_directories(dir_ / "old.log");
  touch(dir_ / "gone.log", old);
  prune_old_files(dir_, L".log", 720, 150);
  for (const char* name : {"x.LOG", "x.log.old", "x", ".log", "x.dmp", "old.log"}) {
    EXPECT_TRUE(fs::exists(dir_ / name)) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "gone.log"));
}

TEST_F(Pruning, MissingDirectoryWarnsAndDeletesNothing) {
  const fs::path missing = dir_ / "missing";
  prune_old_files(missing, L".log", 720, 150);
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].level, spdlog::level::warn);
  EXPECT_EQ(log_.records()[0].text.rfind("Failed to enumerate '" + missing.string() + "' for log pruning: ", 0), 0u);
}

TEST_F(Pruning, DeletionsAreDebugRecords) {
  touch(dir_ / "old.log", std::chrono::hours(1000));
  prune_old_files(dir_, L".log", 720, 150);
  EXPECT_TRUE(log_.contains(spdlog::level::debug, "Pruned old file '" + (dir_ / "old.log").string() + "'"));
}

TEST(FileTimeTicks, CountsFrom1601) {
  const auto epoch = std::chrono::file_clock::from_sys(std::chrono::sys_seconds{});
  EXPECT_EQ(to_file_time_ticks(epoch), 116444736000000000);
  EXPECT_EQ(to_file_time_ticks(epoch + std::chrono::seconds(1)), 116444736010000000);
}

// ---- Logging ----

class Logging : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(program_log_directory());
    saved_ready_ = logging_ready;
  }
  void TearDown() override {
    shutdown_logging();
    logging_ready = saved_ready_;
  }
  fake_system fakes_;
  bool saved_ready_ = false;
};

TEST_F(Logging, FileNameFormat) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 7;
  local.tm_hour = 4;
  local.tm_min = 5;
  local.tm_sec = 9;
  EXPECT_EQ(dated_file_name(L"setup-1767758709", local, L".log"), L"setup-1767758709_2026-01-07_04-05-09.log");
}

TEST_F(Logging, WritesCrlfLinesFromInfoUpAndFlushesEachRecord) {
  EXPECT_FALSE(init_logging(L"setup-42"));
  EXPECT_TRUE(logging_ready);
  EXPECT_EQ(spdlog::default_logger(), program_logger);
  EXPECT_EQ(program_logger->name(), "vora_anticheat");
  spdlog::debug("hidden");
  spdlog::info("Setup process starting");
  spdlog::warn("careful");
  spdlog::error("broken");

  std::vector<fs::path> files{fs::directory_iterator(program_log_directory()), fs::directory_iterator()};
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0].filename().string();
  EXPECT_EQ(name.rfind("setup-42_", 0), 0u) << name;
  EXPECT_EQ(name.size(), std::string("setup-42_2026-12-07_14-35-23.log").size()) << name;

  const std::string text = read_file(files[0]);  // no flush needed: every record is flushed
  const std::string stamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )";
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find("] [info] Setup process starting\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] [warning] careful\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] [error] broken\r\n"), std::string::npos) << text;
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
}

TEST_F(Logging, ShutdownDiscardsEverythingAfterwards) {
  EXPECT_FALSE(init_logging(L"setup-43"));
  spdlog::info("before");
  shutdown_logging();
  EXPECT_EQ(program_logger, nullptr);
  EXPECT_EQ(spdlog::default_logger()->name(), "null");
  EXPECT_EQ(spdlog::get("vora_anticheat"), nullptr);
  spdlog::critical("after");
  std::vector<fs::path> files{fs::directory_iterator(program_log_directory()), fs::directory_iterator()};
  ASSERT_EQ(files.size(), 1u);
  const std::string text = read_file(files[0]);
  EXPECT_NE(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
  // The file is closed: the log directory can go.
  std::error_code ec;
  fs::remove_all(program_log_directory(), ec);
  EXPECT_FALSE(ec) << ec.message();
  shutdown_logging();  // a second call is harmless
}

TEST_F(Logging, SecondInitialisationIsFatal) {
  EXPECT_FALSE(init_logging(L"setup-44"));
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(init_logging(L"setup-44"))), 1);
  ASSERT_EQ(fakes_.boxes.size(), 1u);
  EXPECT_EQ(fakes_.boxes[0].text.rfind("Failed to create logger '" + program_log_directory().string(), 0), 0u)
      << fakes_.boxes[0].text;
}

TEST_F(Logging, PrunesBeforeOpeningThisRunsFile) {
  fs::create_directories(program_log_directory());
  for (int i = 0; i < 160; ++i) {
    touch(program_log_directory() / ("old-" + std::to_string(i) + ".log"), std::chrono::minutes(5 + i));
  }
  EXPECT_FALSE(init_logging(L"setup-45"));
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(program_log_directory())) count += entry.is_regular_file();
  EXPECT_EQ(count, 151u);
  for (int i = 150; i < 160; ++i)
    EXPECT_FALSE(fs::exists(program_log_directory() / ("old-" + std::to_string(i) + ".log")));
}

TEST_F(Logging, UncreatableLogDirectoryIsFatalWithNameTextAndCode) {
  fs::create_directories(program_log_directory().parent_path());
  std::ofstream(program_log_directory()) << "a file where the folder belongs";
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(init_logging(L"setup-46"))), 1);
  ASSERT_EQ(fakes_.boxes.size(), 1u);
  const std::string& text = fakes_.boxes[0].text;
  EXPECT_EQ(text.rfind("Failed to create log directory '" + program_log_directory().string() + "': ", 0), 0u) << text;
  EXPECT_NE(text.find(" (code: "), std::string::npos) << text;
  EXPECT_EQ(text.back(), ')');
  fs::remove(program_log_directory());
}

// ---- Crash handler ----

class CrashHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ready_ = logging_ready;
    logging_ready = false;
    sys().SetUnhandledExceptionFilter = [this](LPTOP_LEVEL_EXCEPTION_FILTER filter) -> LPTOP_LEVEL_EXCEPTION_FILTER {
      installed = filter;
      return nullptr;
    };
    sys().GetLocalTime = [](SYSTEMTIME* time) { *time = SYSTEMTIME{2026, 12, 1, 7, 14, 5, 9, 123}; };
    sys().GetCurrentThreadId = [] { return DWORD{77}; };
    sys().GetCurrentProcessId = [] { return DWORD{1234}; };
    sys().GetCurrentProcess = [] { return reinterpret_cast<HANDLE>(-1); };
    // Pruning opens the directory and its files itself; only the dump is faked.
    sys().CreateFileW = [this, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                         LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                                         DWORD flags, HANDLE template_file) -> HANDLE {
      if (flags & FILE_FLAG_BACKUP_SEMANTICS)
        return real(path, access, share, attributes, disposition, flags, template_file);
      created_path = path;
      EXPECT_EQ(access, GENERIC_WRITE);
      EXPECT_EQ(share, 0u);
      EXPECT_EQ(attributes, nullptr);
      EXPECT_EQ(disposition, CREATE_ALWAYS);
      EXPECT_EQ(flags, FILE_ATTRIBUTE_NORMAL);
      EXPECT_EQ(template_file, nullptr);
      sys().SetLastError(create_error);
      return create_error ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(0x99);
    };
    sys().MiniDumpWriteDump = [this](HANDLE process, DWORD pid, HANDLE file, MINIDUMP_TYPE type,
                                     PMINIDUMP_EXCEPTION_INFORMATION info, MINIDUMP_USER_STREAM_INFORMATION* streams,
                                     MINIDUMP_CALLBACK_INFORMATION* callback) -> BOOL {
      EXPECT_EQ(process, reinterpret_cast<HANDLE>(-1));
      EXPECT_EQ(pid, 1234u);
      EXPECT_EQ(file, reinterpret_cast<HANDLE>(0x99));
      EXPECT_EQ(static_cast<DWORD>(type), 0x1027u);
      // The record is packed to 4 bytes, as in the SDK: read copies only.
      const DWORD thread = info->ThreadId;
      const PEXCEPTION_POINTERS exception = info->ExceptionPointers;
      const BOOL client_pointers = info->ClientPointers;
      EXPECT_EQ(thread, 77u);
      EXPECT_EQ(exception, &pointers);
      EXPECT_EQ(client_pointers, FALSE);
      EXPECT_EQ(streams, nullptr);
      EXPECT_EQ(callback, nullptr);
      sys().SetLastError(dump_error);
      return dump_error ? FALSE : TRUE;
    };
  }
  // install_crash_handler also takes over std::terminate and SIGABRT for the
  // whole process: give them back so a later failing test reports as usual.
  void TearDown() override {
    logging_ready = saved_ready_;
    std::set_terminate(saved_terminate_);
    std::signal(SIGABRT, saved_abort_);
  }
  std::terminate_handler saved_terminate_ = std::get_terminate();
  void (*saved_abort_)(int) = std::signal(SIGABRT, SIG_DFL);
  std::string dump_path() const { return (program_crash_directory() / L"setup-99_2026-12-07_14-05-09.dmp").string(); }

  fake_system fakes_;
  bool saved_ready_ = false;
  LPTOP_LEVEL_EXCEPTION_FILTER installed = nullptr;
  std::wstring created_path;
  DWORD create_error = 0;
  DWORD dump_error = 0;
  EXCEPTION_POINTERS pointers{};
};

TEST_F(CrashHandler, InstallCreatesTheDirectoryPrunesAndSetsTheFilter) {
  fs::create_directories(program_crash_directory());
  for (int i = 0; i < 20; ++i)
    touch(program_crash_directory() / ("d" + std::to_string(i) + ".dmp"), std::chrono::minutes(i + 1));
  ASSERT_FALSE(install_crash_handler(L"setup-99", report_fatal_error));
  EXPECT_EQ(installed, &crash_filter);
  EXPECT_EQ(std::get_terminate(), &terminate_through_crash_filter);
  EXPECT_EQ(crash_dump_prefix(), L"setup-99");
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(fs::exists(program_crash_directory() / ("d" + std::to_string(i) + ".dmp")), i < 15);
}

TEST_F(CrashHandler, WrittenDumpIsNamedInTheMessage) {
  ASSERT_FALSE(install_crash_handler(L"setup-99", report_fatal_error));
  EXPECT_EQ(VORA_EXIT_CODE(crash_filter(&pointers)), 1);
  EXPECT_EQ(fs::path(created_path).string(), dump_path());
  EXPECT_EQ(fakes_.boxes.at(0).text,
            "A fatal error has occurred and the program has crashed.\n\nA crash report has been saved to:\n" +
                dump_path() + "\n\nPlease report this to staff.");
}

TEST_F(CrashHandler, DumpFileThatCannotBeCreated) {
  ASSERT_FALSE(install_crash_handler(L"setup-99", report_fatal_error));
  create_error = 5;
  EXPECT_EQ(VORA_EXIT_CODE(crash_filter(&pointers)), 1);
  EXPECT_EQ(
      fakes_.boxes.at(0).text,
      "A fatal error has occurred and the program has crashed.\n\nAdditionally, a crash dump could not be written "
      "(Error: 5).\n\nPlease report this to staff.");
}

TEST_F(CrashHandler, DumpThatFailsNamesCodeAndPath) {
  ASSERT_FALSE(install_crash_handler(L"setup-99", report_fatal_error));
  dump_error = 0x8007000E;
  EXPECT_EQ(VORA_EXIT_CODE(crash_filter(&pointers)), 1);
  EXPECT_EQ(fakes_.boxes.at(0).text,
            "A fatal error has occurred and the program has crashed.\n\nFailed to save the crash report (Error: "
            "2147942414).\n\nAttempted crash report path:\n" +
                dump_path() + "\n\nPlease report this to staff.");
}

TEST_F(CrashHandler, CrashDirectoryThatIsAFileIsFatal) {
  fs::remove_all(program_crash_directory());
  fs::create_directories(program_crash_directory().parent_path());
  std::ofstream(program_crash_directory()) << "not a directory";
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(install_crash_handler(L"setup-99", report_fatal_error))), 1);
  EXPECT_EQ(installed, nullptr);
  EXPECT_EQ(fakes_.boxes.at(0).text.rfind(
                "Failed to create crash directory '" + program_crash_directory().string() + "': ", 0),
            0u)
      << fakes_.boxes.at(0).text;
  fs::remove(program_crash_directory());
}

}  // namespace
}  // namespace vora
