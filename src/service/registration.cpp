#include "service/registration.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/text.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/configuration.h"
#include "service/control.h"
#include "service/names.h"
#include "service/swap_journal.h"

namespace vora {
namespace {

constexpr std::uint64_t service_start_timeout_ms = 15000;

// The registration as this setup makes it, written over whatever an
// existing one says (a path elsewhere, another account). The registration
// itself is kept: deleting it would leave it marked for deletion, and
// unable to be created again, while anybody holds a handle to it.
bool reconfigure_service(SC_HANDLE service, const std::wstring& command_line) {
  static const wchar_t no_dependencies[] = L"\0";
  return sys().ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    command_line.c_str(), L"", nullptr, no_dependencies, service_account, L"",
                                    service_display_name) != FALSE;
}

}  // namespace

outcome configure_service(SC_HANDLE manager, const std::wstring& service_path, platform::scoped_service_handle& service,
                          bool& created) {
  created = false;
  const std::wstring command_line = L"\"" + service_path + L"\"";
  service.reset(sys().OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
  DWORD error = service ? 0 : sys().GetLastError();
  // A registration that is there but cannot be opened is not one to create
  // anew: its creation would only find it exists, and nothing would start.
  if (!service && error != ERROR_SERVICE_DOES_NOT_EXIST)
    return fail_with(error, "Failed to configure Vora service (Error: {}).", error);
  if (service && !reconfigure_service(service.get(), command_line)) {
    error = sys().GetLastError();
    service.reset();
    // Deleted by somebody else and held open: it goes once they close it.
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE)
      return fail_with(error, "Failed to configure Vora service (Error: {}).", error);
  }
  for (int attempt = 0; !service && attempt < 40; ++attempt) {
    service.reset(sys().CreateServiceW(manager, service_name, service_display_name, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command_line.c_str(), nullptr, nullptr, nullptr, service_account, nullptr));
    if (service) {
      created = true;
      break;
    }
    error = sys().GetLastError();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) break;
    sys().sleep_ms(250);
  }
  if (!service) {
    if (error != ERROR_SERVICE_EXISTS) return fail_with(error, "Failed to create Vora service (Error: {}).", error);
    spdlog::warn("Vora service already exists after removal attempt, skipping creation");
    return std::nullopt;
  }

  if (!set_service_description(service.get(), service_description))
    spdlog::warn("Service installed but description could not be set");
  if (!set_service_failure_actions(service.get()))
    spdlog::warn("Service installed but failure actions could not be set");
  std::string dacl_error;
  if (!apply_interactive_service_dacl(service.get(), dacl_error))
    return fail_with(0, "Failed to set Vora service permissions (Error: {}).", dacl_error);
  spdlog::info("{} the Vora service for '{}'", created ? "Registered" : "Reconfigured", to_utf8(service_path));
  return std::nullopt;
}

outcome start_service(SC_HANDLE service, bool& started) {
  started = sys().StartServiceW(service, 0, nullptr) != FALSE;
  if (!started) {
    const DWORD error = sys().GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING)
      return fail_with(error, "Failed to start Vora service (Error: {}).", error);
  }
  return std::nullopt;
}

outcome confirm_service_running(SC_HANDLE service, bool required) {
  SERVICE_STATUS_PROCESS status{};
  sys().SetLastError(0);
  if (wait_for_service_state(service, SERVICE_RUNNING, service_start_timeout_ms, &status)) {
    spdlog::info("Started the Vora service");
    return std::nullopt;
  }
  DWORD code = sys().GetLastError();
  if (status.dwCurrentState == SERVICE_STOPPED) {
    code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                  : status.dwWin32ExitCode;
    // Ended without saying why.
    if (code == 0) code = ERROR_PROCESS_ABORTED;
  } else if (status.dwCurrentState != 0 || code == 0) {
    code = ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  if (required) return fail_with(code, "The updated Vora service did not start (Error: {}).", code);
  spdlog::warn("Timed out waiting for Vora service to reach running state");
  spdlog::warn("The Vora service is not running (Error: {})", code);
  return std::nullopt;
}

bool delete_service_registration(SC_HANDLE manager) {
  platform::scoped_service_handle service(sys().OpenServiceW(manager, service_name, DELETE));
  DWORD error = service ? 0 : sys().GetLastError();
  if (service && (sys().DeleteService(service.get()) == 0)) error = sys().GetLastError();
  if (error == 0 || error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE) return true;
  spdlog::warn("DeleteService failed (Error: {})", error);
  return false;
}

outcome register_and_start(SC_HANDLE manager, const std::wstring& service_path) {
  platform::scoped_service_handle service;
  bool created = false;
  if (auto cause = configure_service(manager, service_path, service, created)) return cause;
  // Already registered, as somebody else just made it.
  if (!service) return std::nullopt;
  bool started = false;
  if (auto cause = start_service(service.get(), started)) return cause;
  kill_point("undo-starting");
  // The earlier installation put back: nothing further to go back to.
  if (started) return confirm_service_running(service.get(), false);
  return std::nullopt;
}

// Stops the earlier service so its files can be swapped; its registration
// is kept.
outcome stop_service_for_update(SC_HANDLE manager) {
  platform::scoped_service_handle service(
      sys().OpenServiceW(manager, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = sys().GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return std::nullopt;
    return fail_with(error, "Failed to open Vora service for update (Error: {}).", error);
  }
  if (!stop_service_and_wait(service.get())) {
    const DWORD error = sys().GetLastError();
    return fail_with(error, "Failed to stop Vora service (Error: {}).", error);
  }
  return std::nullopt;
}

}  // namespace vora
