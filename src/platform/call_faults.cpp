#include "platform/call_faults.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <string_view>
#include <type_traits>
#include <utility>

#include "build_config.h"
#include "platform/system.h"

namespace vora::platform {
namespace {

// How a call reports its failure.
enum class way { cannot_fail, false_result, null_result, invalid_handle, zero_result, invalid_attributes, status };

struct fault {
  way how = way::cannot_fail;
  DWORD error = 0;
};

constexpr DWORD registry_io_failed = 1016;  // ERROR_REGISTRY_IO_FAILED

// The calls an update makes that can fail, each with an error it really
// returns.
fault fault_of(std::string_view name) {
  static const std::map<std::string_view, fault> faults = {
      {"CreateFileW", {way::invalid_handle, ERROR_SHARING_VIOLATION}},
      {"SetFileInformationByHandle", {way::false_result, ERROR_DISK_FULL}},
      {"MoveFileExW", {way::false_result, ERROR_DISK_FULL}},
      {"GetFinalPathNameByHandleW", {way::zero_result, ERROR_ACCESS_DENIED}},
      {"GetFileInformationByHandleEx", {way::false_result, ERROR_ACCESS_DENIED}},
      {"GetFileAttributesW", {way::invalid_attributes, ERROR_ACCESS_DENIED}},
      {"GetFileSizeEx", {way::false_result, ERROR_ACCESS_DENIED}},
      {"FindFirstFileW", {way::invalid_handle, ERROR_ACCESS_DENIED}},
      {"FindNextFileW", {way::false_result, ERROR_ACCESS_DENIED}},
      {"CreateDirectoryW", {way::false_result, ERROR_ACCESS_DENIED}},
      {"GetDiskFreeSpaceExW", {way::false_result, ERROR_ACCESS_DENIED}},
      {"GetSecurityInfo", {way::status, ERROR_ACCESS_DENIED}},
      {"SetSecurityInfo", {way::status, ERROR_ACCESS_DENIED}},
      {"SetEntriesInAclW", {way::status, ERROR_NOT_ENOUGH_MEMORY}},
      {"LocalAlloc", {way::null_result, ERROR_NOT_ENOUGH_MEMORY}},
      {"OpenProcess", {way::null_result, ERROR_ACCESS_DENIED}},
      {"RegOpenKeyExW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegCreateKeyExW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegQueryValueExW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegSetValueExW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegDeleteValueW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegDeleteKeyExW", {way::status, ERROR_ACCESS_DENIED}},
      {"RegFlushKey", {way::status, registry_io_failed}},
      {"OpenServiceW", {way::null_result, ERROR_ACCESS_DENIED}},
      {"CreateServiceW", {way::null_result, ERROR_ACCESS_DENIED}},
      {"StartServiceW", {way::false_result, ERROR_SERVICE_REQUEST_TIMEOUT}},
      {"ControlService", {way::false_result, ERROR_SERVICE_REQUEST_TIMEOUT}},
      {"DeleteService", {way::false_result, ERROR_ACCESS_DENIED}},
      {"QueryServiceStatusEx", {way::false_result, ERROR_ACCESS_DENIED}},
      {"ChangeServiceConfigW", {way::false_result, ERROR_ACCESS_DENIED}},
      {"ChangeServiceConfig2W", {way::false_result, ERROR_ACCESS_DENIED}},
      {"QueryServiceObjectSecurity", {way::false_result, ERROR_ACCESS_DENIED}},
      {"SetServiceObjectSecurity", {way::false_result, ERROR_ACCESS_DENIED}},
  };
  const auto found = faults.find(name);
  return found == faults.end() ? fault{} : found->second;
}

bool counting = false;
std::uint64_t counted = 0;
std::uint64_t kill_at = 0;
std::uint64_t fail_at = 0;
std::string failed_call;
// The table's own SetLastError, which the failures set without counting.
std::function<void(DWORD)> set_last_error;

// Counts one call; true when it is the one to fail.
bool count_one(const fault& how, const char* name) {
  if (!counting) return false;
  ++counted;
  if (counted == kill_at) std::_Exit(9);
  if (counted != fail_at || how.how == way::cannot_fail) return false;
  failed_call = std::to_string(counted) + " " + name;
  return true;
}

template <typename R>
R failed(const fault& how) {
  if (how.how != way::status && set_last_error) set_last_error(how.error);
  if constexpr (std::is_same_v<R, HANDLE>) {
    return how.how == way::invalid_handle ? INVALID_HANDLE_VALUE : nullptr;
  } else if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_integral_v<R>) {
    if (how.how == way::status) return static_cast<R>(how.error);
    if (how.how == way::invalid_attributes) return static_cast<R>(INVALID_FILE_ATTRIBUTES);
    return R{};
  } else {
    return R{};
  }
}

template <typename R, typename... A>
void wrap(std::function<R(A...)>& call, const char* name) {
  if (!call) return;
  call = [inner = std::move(call), how = fault_of(name), name](A... args) -> R {
    if (count_one(how, name)) {
      if constexpr (!std::is_void_v<R>) return failed<R>(how);
    }
    return inner(std::forward<A>(args)...);
  };
}

std::uint64_t number_in(const char* variable) {
  const char* text = std::getenv(variable);
  if (text == nullptr) return 0;
  char* end = nullptr;
  const std::uint64_t number = std::strtoull(text, &end, 10);
  return end == text || *end != '\0' ? 0 : number;
}

}  // namespace

void count_calls(system_calls& table) {
  if constexpr (build::test_hooks) {
    kill_at = number_in("VORA_TEST_KILL_AT_CALL");
    fail_at = number_in("VORA_TEST_FAIL_AT_CALL");
    if (kill_at == 0 && fail_at == 0) return;
    set_last_error = table.SetLastError;
#define VORA_CALL(result, name, params) wrap(table.name, #name);
#define VORA_SYSTEM32_CALL(module, result, name, params, failure) wrap(table.name, #name);
#include "platform/system32_calls.def"
#include "platform/system_calls.def"
#undef VORA_SYSTEM32_CALL
#undef VORA_CALL
    wrap(table.cpuid, "cpuid");
    wrap(table.sleep_ms, "sleep_ms");
    wrap(table.exit_process, "exit_process");
    wrap(table.under_wine, "under_wine");
    wrap(table.shell_execute_as_desktop, "shell_execute_as_desktop");
  } else {
    (void)table;
  }
}

void count_calls_from_here() {
  if (kill_at == 0 && fail_at == 0) return;
  counting = true;
  counted = 0;
}

std::uint64_t calls_counted() { return counted; }

std::string call_failed_on_purpose() { return failed_call; }

}  // namespace vora::platform
