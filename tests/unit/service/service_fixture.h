// Shared fakes of the service tests: a manual clock driven by counted sleeps,
// an ordered record of the platform calls the logic makes, a service manager
// holding at most the Vora service, and a file that refuses deletion.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "test_support.h"

namespace vora::test {

inline const SC_HANDLE fake_manager = reinterpret_cast<SC_HANDLE>(0x1000);
inline const SC_HANDLE fake_service = reinterpret_cast<SC_HANDLE>(0x2000);
inline const SC_HANDLE fake_probe = reinterpret_cast<SC_HANDLE>(0x2100);
inline const SC_HANDLE fake_old_service = reinterpret_cast<SC_HANDLE>(0x2200);
inline const HANDLE fake_process = reinterpret_cast<HANDLE>(0x3000);

class service_fixture : public ::testing::Test {
 protected:
  service_fixture();

  // Records one call; the fakes name the handles they were given.
  void record(std::string event) { events.push_back(std::move(event)); }
  bool called(const std::string& event) const;
  std::size_t count(const std::string& event) const;
  // Position of the first event equal to text, or npos.
  std::size_t position(const std::string& event) const;

  // Every status query answers from status_script; the last entry repeats.
  // An entry may fail the query with its error code.
  struct scripted_status {
    SERVICE_STATUS_PROCESS status{};
    DWORD fail_with = 0;
  };
  std::vector<scripted_status> status_script;
  std::size_t queries = 0;
  static scripted_status state(DWORD current, DWORD checkpoint = 0, DWORD hint = 0, DWORD process_id = 0);

  std::uint64_t elapsed() const { return now - start_time; }

  fake_system fakes;
  captured_log log;
  std::vector<std::string> events;
  static constexpr std::uint64_t start_time = 7'000'000;
  std::uint64_t now = start_time;
};

// The service manager's calls about the Vora service, answered from plain
// data: what the logic registered, and the error each call is to fail with.
// Events go to the fixture's record. Opens name their handle by what they
// are for: the probe (status only), the service (full access, or the
// removal's) and the old service (an update's stop or delete).
class fake_service_manager {
 public:
  explicit fake_service_manager(std::vector<std::string>& events);
  fake_service_manager(const fake_service_manager&) = delete;
  fake_service_manager& operator=(const fake_service_manager&) = delete;

  // One CreateServiceW or ChangeServiceConfigW as asked; a null string is
  // nullopt where null means something (unset, or unchanged).
  struct registration {
    std::wstring name;  // CreateServiceW only
    DWORD access = 0;   // CreateServiceW only
    std::wstring display;
    std::wstring binary_path;
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::wstring account;
    std::optional<std::wstring> password;
    std::optional<std::wstring> group;
    std::optional<std::wstring> dependencies;  // the list's first entry
    bool tag_requested = false;
  };
  std::optional<registration> created;       // the last CreateServiceW
  std::optional<registration> reconfigured;  // the last ChangeServiceConfigW

  bool registered = false;

  DWORD open_error = 0;  // every OpenServiceW
  DWORD create_error = 0;
  // ERROR_SERVICE_MARKED_FOR_DELETE also lets the registration go.
  DWORD reconfigure_error = 0;
  DWORD start_error = 0;
  DWORD delete_error = 0;
  DWORD description_error = 0;
  DWORD failure_actions_error = 0;

 private:
  std::vector<std::string>& events_;
};

// A file inside a fresh or existing folder that removal cannot delete until
// the object goes away.
class undeletable_file {
 public:
  explicit undeletable_file(const std::filesystem::path& path);
  ~undeletable_file();
  undeletable_file(const undeletable_file&) = delete;
  undeletable_file& operator=(const undeletable_file&) = delete;
  bool locked() const { return locked_; }

 private:
  std::filesystem::path path_;
  bool locked_ = false;
  [[maybe_unused]] void* handle_ = nullptr;  // used by the Windows build only
};

}  // namespace vora::test
