#include "service/uninstall.h"

#include <spdlog/sinks/base_sink.h>

#include <fstream>

#include "diagnostics/logging.h"
#include "files/directories.h"
#include "service_fixture.h"

namespace vora {
namespace {

using test::fake_manager;

// An installed service behind the manager; the status it reports is
// scripted per test.
class ServiceRemoval : public test::service_fixture {
 protected:
  ServiceRemoval() {
    status_script = {state(SERVICE_STOPPED)};
    manager.registered = true;
  }

  test::fake_service_manager manager{events};
  const std::string open_for_removal = "OpenServiceW 65572";  // DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS
};

TEST_F(ServiceRemoval, MissingServiceIsNothingToDo) {
  manager.registered = false;
  EXPECT_FALSE(remove_service(fake_manager));
  EXPECT_EQ(events, (std::vector<std::string>{open_for_removal}));
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(ServiceRemoval, StoppedServiceIsDeletedAtOnce) {
  EXPECT_FALSE(remove_service(fake_manager));
  EXPECT_EQ(events, (std::vector<std::string>{open_for_removal, "QueryServiceStatusEx service", "DeleteService",
                                              "CloseServiceHandle service"}));
}

TEST_F(ServiceRemoval, RunningServiceIsStoppedBeforeDeletion) {
  status_script = {state(SERVICE_RUNNING, 0, 0, 321), state(SERVICE_STOPPED)};
  EXPECT_FALSE(remove_service(fake_manager));
  EXPECT_LT(position("ControlService service 1"), position("DeleteService"));
  EXPECT_LT(position("CloseHandle process"), position("DeleteService"));
  EXPECT_EQ(events.back(), "CloseServiceHandle service");
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(ServiceRemoval, ServiceMarkedForDeletionCountsAsRemoved) {
  manager.delete_error = ERROR_SERVICE_MARKED_FOR_DELETE;
  EXPECT_FALSE(remove_service(fake_manager));
  EXPECT_EQ(events.back(), "CloseServiceHandle service");
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(ServiceRemoval, FailuresAreFatalWithTheirCodeAfterTheHandleIsClosed) {
  manager.open_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(remove_service(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to open Vora service for removal (Error: 5).");
  EXPECT_FALSE(called("CloseServiceHandle service"));

  // The stop is refused; the code is read before the handle is closed (the
  // fake close leaves a different last error behind).
  manager.open_error = 0;
  events.clear();
  queries = 0;
  status_script = {state(SERVICE_RUNNING, 0, 0, 9)};
  sys().ControlService = [](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
    sys().SetLastError(1061);  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
    return FALSE;
  };
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(remove_service(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(1).text, "Failed to stop Vora service (Error: 1061).");
  EXPECT_LT(position("CloseServiceHandle service"), position("MessageBoxA Failed to stop Vora service (Error: 1061)."));
  EXPECT_FALSE(called("DeleteService"));

  events.clear();
  queries = 0;
  status_script = {state(SERVICE_STOPPED)};
  manager.delete_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(remove_service(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(2).text, "Failed to delete Vora service (Error: 5).");
  EXPECT_LT(position("CloseServiceHandle service"), position("MessageBoxA Failed to delete Vora service (Error: 5)."));
  EXPECT_EQ(count("CloseServiceHandle service"), 1u);
}

TEST_F(ServiceRemoval, StopTimeoutIsFatal) {
  status_script = {state(SERVICE_RUNNING, 0, 0, 9), state(SERVICE_STOP_PENDING, 0, 0, 9)};
  sys().SetLastError(0);
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(remove_service(fake_manager))), 1);
  EXPECT_EQ(elapsed(), 15050u);
  EXPECT_EQ(fakes.boxes.at(0).text.rfind("Failed to stop Vora service (Error: ", 0), 0u);
  EXPECT_FALSE(called("DeleteService"));
}

// A logger standing for the log file, to see what reaches it.
class recording_sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> lines;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}
};

class Uninstall : public ServiceRemoval {
 protected:
  Uninstall() {
    manager.registered = false;
    std::filesystem::create_directories(install_directory() / "sub");
    std::ofstream(install_directory() / "VoraService.exe") << "image";
    std::ofstream(install_directory() / "sub" / "nested.txt") << "x";
    std::filesystem::create_directories(data_directory() / "Logs");
    std::ofstream(data_directory() / "Logs" / "setup.log") << "log";
    // The release record, gone with a full uninstall (end to end in test_releases.py).
    sys().RegDeleteKeyExW = [](HKEY, LPCWSTR, REGSAM, DWORD) -> LSTATUS { return ERROR_FILE_NOT_FOUND; };
    // No interrupted update to finish first (end to end in test_faults.py).
    sys().RegOpenKeyExW = [](HKEY, LPCWSTR, DWORD, REGSAM, HKEY*) -> LSTATUS { return ERROR_FILE_NOT_FOUND; };
  }
  ~Uninstall() override {
    std::error_code ignored;
    std::filesystem::remove_all(install_directory(), ignored);
    std::filesystem::remove_all(data_directory(), ignored);
  }
  // Makes a logger standing for the log file the program logger and default.
  std::shared_ptr<recording_sink> use_file_logger() {
    auto sink = std::make_shared<recording_sink>();
    program_logger = std::make_shared<spdlog::logger>(logger_name, sink);
    spdlog::set_default_logger(program_logger);
    return sink;
  }
};

TEST_F(Uninstall, WithoutServiceRemovesTheInstallDirectoryAndKeepsTheData) {
  EXPECT_FALSE(run_uninstall(fake_manager, false));
  EXPECT_FALSE(std::filesystem::exists(install_directory()));
  EXPECT_TRUE(std::filesystem::exists(data_directory() / "Logs" / "setup.log"));
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"Removing installation directory",
                                      "Removed: '" + install_directory().string() + "', the Apps & features entry"}));
  EXPECT_TRUE(fakes.sleeps.empty());
}

TEST_F(Uninstall, MissingInstallDirectoryIsNoTrouble) {
  std::filesystem::remove_all(install_directory());
  EXPECT_FALSE(run_uninstall(fake_manager, false));
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Removing installation directory",
                                                   "Removed nothing: no Vora service or install directory was found"}));
  EXPECT_TRUE(fakes.sleeps.empty());
}

TEST_F(Uninstall, ServiceIsRemovedBeforeAnyDirectory) {
  manager.registered = true;
  EXPECT_FALSE(run_uninstall(fake_manager, false));
  EXPECT_TRUE(called("DeleteService"));
  EXPECT_FALSE(std::filesystem::exists(install_directory()));

  // A fatal removal leaves every directory in place.
  std::filesystem::create_directories(install_directory());
  manager.registered = true;  // installed again
  manager.delete_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_uninstall(fake_manager, true))), 1);
  EXPECT_TRUE(std::filesystem::exists(install_directory()));
  EXPECT_TRUE(std::filesystem::exists(data_directory() / "Logs" / "setup.log"));
}

TEST_F(Uninstall, StubbornInstallDirectoryIsRetriedThenOnlyWarned) {
  test::undeletable_file in_use(install_directory() / "VoraSetup.exe");
  if (!in_use.locked()) GTEST_SKIP() << "cannot make a file undeletable here";
  EXPECT_FALSE(run_uninstall(fake_manager, false));
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{300, 300, 300, 300, 300}));
  ASSERT_EQ(log.records().size(), 3u);
  EXPECT_EQ(log.records()[1].level, spdlog::level::warn);
  const std::string prefix = "Failed to fully remove install directory '" + install_directory().string() + "': ";
  EXPECT_EQ(log.records()[1].text.rfind(prefix, 0), 0u) << log.records()[1].text;
  EXPECT_GT(log.records()[1].text.size(), prefix.size());
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(Uninstall, FullFormClosesTheLogBeforeRemovingTheDataDirectory) {
  const auto file_log = use_file_logger();
  EXPECT_FALSE(run_uninstall(fake_manager, true));
  EXPECT_FALSE(std::filesystem::exists(install_directory()));
  EXPECT_FALSE(std::filesystem::exists(data_directory()));
  EXPECT_EQ(file_log->lines,
            (std::vector<std::string>{"Removing installation directory",
                                      "Removed: '" + install_directory().string() + "', the Apps & features entry",
                                      "Removing data directory"}));
  EXPECT_EQ(spdlog::default_logger()->name(), "null");
  EXPECT_EQ(program_logger, nullptr);
}

TEST_F(Uninstall, FullFormWarnsAboutTheDataDirectoryOnlyToTheDiscardingLog) {
  test::undeletable_file in_use(data_directory() / "Crashes" / "setup.dmp");
  if (!in_use.locked()) GTEST_SKIP() << "cannot make a file undeletable here";
  const auto file_log = use_file_logger();
  EXPECT_FALSE(run_uninstall(fake_manager, true));
  EXPECT_EQ(file_log->lines.back(), "Removing data directory");
  EXPECT_EQ(fakes.sleeps.size(), 5u);
  EXPECT_TRUE(fakes.boxes.empty());
}

}  // namespace
}  // namespace vora
