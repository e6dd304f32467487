// The one seam between the program's logic and Windows.
//
// Every platform call goes through the table returned by sys(). The Windows
// build fills it with the real functions (those of system32_calls.def taken
// from System32 alone); other builds fill it with stand-ins
// that fail with ERROR_CALL_NOT_IMPLEMENTED (or, for the few calls a host can
// honour, do the host's equivalent). A test replaces any call in one line:
//
//   vora::platform::scoped_system_calls fake;   // restores the table on exit
//   vora::sys().CreateMutexW = [](auto...) { return HANDLE{}; };
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "platform/win32_types.h"

namespace vora::platform {

struct system_calls {
#define VORA_CALL(result, name, params) std::function<result params> name;
#define VORA_SYSTEM32_CALL(module, result, name, params, failure) std::function<result params> name;
#include "platform/system32_calls.def"
#include "platform/system_calls.def"
#undef VORA_SYSTEM32_CALL
#undef VORA_CALL

  // Calls that are not Win32 functions but must be replaceable as well.
  std::function<std::array<std::uint32_t, 4>(std::uint32_t leaf, std::uint32_t subleaf)> cpuid;
  std::function<void(std::uint32_t milliseconds)> sleep_ms;  // steady clock
  std::function<void(int code)> exit_process;                // runtime exit()
  std::function<bool()> under_wine;                          // ntdll is Wine's
  // Opens target through the desktop's own shell (IShellWindows'
  // FindWindowSW for the desktop, then IShellDispatch2::ShellExecute), so it
  // starts as the signed-in user rather than with this process's token.
  std::function<HRESULT(const wchar_t* target)> shell_execute_as_desktop;
};

// The table in force for the whole process.
system_calls& sys();

// The table as the build provides it (real calls on Windows).
system_calls default_system_calls();

// Keeps a copy of the table and puts it back on destruction, so a test can
// replace calls freely.
class scoped_system_calls {
 public:
  scoped_system_calls() : saved_(sys()) {}
  ~scoped_system_calls() { sys() = saved_; }
  scoped_system_calls(const scoped_system_calls&) = delete;
  scoped_system_calls& operator=(const scoped_system_calls&) = delete;

 private:
  system_calls saved_;
};

}  // namespace vora::platform

namespace vora {
using platform::sys;
}
