// The primitives against the real service manager, with the stand-in service
// built next to this test. Windows builds only.
#ifdef _WIN32
#include <filesystem>

#include "service/configuration.h"
#include "service/control.h"
#include "service/names.h"
#include "service/uninstall.h"
#include "test_support.h"

namespace vora {
namespace {

class RealServiceManager : public ::testing::Test {
 protected:
  RealServiceManager() {
    // Real calls and real sleeps; only a fatal error is kept from ending the run.
    sys().exit_process = [](int code) { throw test::process_exit{code}; };
    sys().MessageBoxA = [this](HWND, LPCSTR text, LPCSTR, UINT) {
      boxes.push_back(text);
      return IDOK;
    };
  }
  ~RealServiceManager() override {
    if (manager) ::CloseServiceHandle(manager);
  }

  platform::scoped_system_calls restore;
  test::captured_log log;
  std::vector<std::string> boxes;
  SC_HANDLE manager = nullptr;
};

TEST_F(RealServiceManager, StandInServiceRunsStopsAndIsRemoved) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path image = std::filesystem::path(self).parent_path() / L"VoraService.exe";
  if (!std::filesystem::exists(image)) GTEST_SKIP() << "stand-in service not built";

  manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  ASSERT_NE(manager, nullptr) << ::GetLastError();
  EXPECT_FALSE(remove_service(manager));  // whatever an earlier run left

  const std::wstring command_line = L"\"" + image.wstring() + L"\"";
  SC_HANDLE service = ::CreateServiceW(manager, service_name, service_display_name, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command_line.c_str(), nullptr, nullptr, nullptr, service_account, nullptr);
  ASSERT_NE(service, nullptr) << ::GetLastError();
  EXPECT_TRUE(set_service_description(service, service_description));
  EXPECT_TRUE(set_service_failure_actions(service));
  std::string error;
  EXPECT_TRUE(apply_interactive_service_dacl(service, error)) << error;

  ASSERT_TRUE(::StartServiceW(service, 0, nullptr)) << ::GetLastError();
  EXPECT_TRUE(wait_for_service_state(service, SERVICE_RUNNING, 15000));
  ::CloseServiceHandle(service);

  EXPECT_FALSE(remove_service(manager));
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  EXPECT_EQ(::OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(::GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  // Gone already: nothing to do, nothing fatal.
  EXPECT_FALSE(remove_service(manager));
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vora
#endif
