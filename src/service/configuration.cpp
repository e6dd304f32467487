#include "service/configuration.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {

bool set_service_description(SC_HANDLE service, const std::wstring& description) {
  SERVICE_DESCRIPTIONW info{};
  info.lpDescription = const_cast<LPWSTR>(description.c_str());
  if (sys().ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info) == 0) {
    spdlog::warn("ChangeServiceConfig2W (SERVICE_CONFIG_DESCRIPTION) failed (Error: {})", sys().GetLastError());
    return false;
  }
  return true;
}

bool set_service_failure_actions(SC_HANDLE service) {
  SC_ACTION actions[3] = {};
  actions[0].Type = SC_ACTION_RESTART;
  actions[0].Delay = 5000;
  actions[1].Type = SC_ACTION_RESTART;
  actions[1].Delay = 10000;
  actions[2].Type = SC_ACTION_NONE;
  actions[2].Delay = 0;

  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = 86400;
  info.lpRebootMsg = nullptr;
  info.lpCommand = nullptr;
  info.cActions = 3;
  info.lpsaActions = actions;
  if (sys().ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info) == 0) {
    spdlog::warn("ChangeServiceConfig2W (SERVICE_CONFIG_FAILURE_ACTIONS) failed (Error: {})", sys().GetLastError());
    return false;
  }
  return true;
}

bool apply_interactive_service_dacl(SC_HANDLE service, std::string& error) {
  const auto fail = [&error](std::string message) {
    error = std::move(message);
    return false;
  };

  DWORD needed = 0;
  if (sys().QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed) == 0) {
    const DWORD code = sys().GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER)
      return fail(fmt::format("Failed to query service security descriptor size: {}", code));
  }
  if (needed == 0)
    return fail(fmt::format("Failed to query service security descriptor size: {}", sys().GetLastError()));

  platform::scoped_local_memory descriptor(sys().LocalAlloc(LPTR, needed));
  if (!descriptor) return fail(fmt::format("Failed to allocate security descriptor buffer: {}", sys().GetLastError()));

  if (sys().QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor.get(), needed, &needed) == 0)
    return fail(fmt::format("Failed to query service security descriptor: {}", sys().GetLastError()));

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL existing = nullptr;  // points into descriptor; none when the service has no list
  if (sys().GetSecurityDescriptorDacl(descriptor.get(), &present, &existing, &defaulted) == 0)
    return fail(fmt::format("Failed to get existing service DACL: {}", sys().GetLastError()));

  alignas(8) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD sid_size = sizeof(sid);
  if (sys().CreateWellKnownSid(WinInteractiveSid, nullptr, sid, &sid_size) == 0)
    return fail(fmt::format("Failed to create INTERACTIVE well-known SID: {}", sys().GetLastError()));

  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = interactive_service_rights;
  entry.grfAccessMode = SET_ACCESS;  // replaces whatever INTERACTIVE held before
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);

  PACL built = nullptr;
  const DWORD built_result = sys().SetEntriesInAclW(1, &entry, existing, &built);
  platform::scoped_local_memory new_list(built);
  // The call reports its error by its result, not through the last error.
  if (built_result != ERROR_SUCCESS) return fail(fmt::format("Failed to build new service DACL: {}", built_result));

  SECURITY_DESCRIPTOR updated{};
  if (sys().InitializeSecurityDescriptor(&updated, SECURITY_DESCRIPTOR_REVISION) == 0)
    return fail(fmt::format("Failed to initialize new security descriptor: {}", sys().GetLastError()));
  if (sys().SetSecurityDescriptorDacl(&updated, TRUE, built, FALSE) == 0)
    return fail(fmt::format("Failed to attach new DACL to security descriptor: {}", sys().GetLastError()));
  if (sys().SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &updated) == 0)
    return fail(fmt::format("Failed to apply new service security descriptor: {}", sys().GetLastError()));
  return true;
}

}  // namespace vora
