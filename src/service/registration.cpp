#include "service/registration.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "platform/scoped.h"
#include "platform/system.h"
#include "service/configuration.h"
#include "service/control.h"
#include "service/names.h"

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

// Registers the service for the service file, or sets an existing
// registration to it, and configures and starts it; the handle is closed on
// every path. A failure that leaves no running service comes back as the
// user message for it; a registration made here is then deleted when
// delete_on_failure is set.
std::optional<service_failure> register_and_start(SC_HANDLE manager, const std::wstring& service_path,
                                                  bool delete_on_failure) {
  const std::wstring command_line = L"\"" + service_path + L"\"";
  platform::scoped_service_handle service(sys().OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
  bool created = false;
  DWORD error = 0;
  if (service && !reconfigure_service(service.get(), command_line)) {
    error = sys().GetLastError();
    service.reset();
    // Deleted by somebody else and held open: it goes once they close it.
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE)
      return service_failure{fmt::format("Failed to configure Vora service (Error: {}).", error)};
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
    if (error != ERROR_SERVICE_EXISTS)
      return service_failure{fmt::format("Failed to create Vora service (Error: {}).", error)};
    spdlog::warn("Vora service already exists after removal attempt, skipping creation");
    return std::nullopt;
  }

  if (!set_service_description(service.get(), service_description))
    spdlog::warn("Service installed but description could not be set");
  if (!set_service_failure_actions(service.get()))
    spdlog::warn("Service installed but failure actions could not be set");

  std::optional<service_failure> failure;
  std::string dacl_error;
  if (!apply_interactive_service_dacl(service.get(), dacl_error)) {
    failure = service_failure{fmt::format("Failed to set Vora service permissions (Error: {}).", dacl_error)};
  } else if (!sys().StartServiceW(service.get(), 0, nullptr)) {
    const DWORD start_error = sys().GetLastError();
    if (start_error != ERROR_SERVICE_ALREADY_RUNNING)
      failure = service_failure{fmt::format("Failed to start Vora service (Error: {}).", start_error)};
  } else if (!wait_for_service_state(service.get(), SERVICE_RUNNING, service_start_timeout_ms)) {
    spdlog::warn("Timed out waiting for Vora service to reach running state");
  }
  if (failure && created && delete_on_failure && !sys().DeleteService(service.get()))
    spdlog::warn("DeleteService failed (Error: {})", sys().GetLastError());
  return failure;
}

// Stops the earlier service so its files can be swapped; its registration
// is kept.
std::optional<service_failure> stop_service_for_update(SC_HANDLE manager) {
  platform::scoped_service_handle service(
      sys().OpenServiceW(manager, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = sys().GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return std::nullopt;
    return service_failure{fmt::format("Failed to open Vora service for update (Error: {}).", error)};
  }
  if (!stop_service_and_wait(service.get()))
    return service_failure{fmt::format("Failed to stop Vora service (Error: {}).", sys().GetLastError())};
  return std::nullopt;
}

}  // namespace vora
