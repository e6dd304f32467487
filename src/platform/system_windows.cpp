// The real table: every entry is the Windows function of the same name.
#include <intrin.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <type_traits>

#include "platform/system.h"

namespace vora::platform {
namespace {

// A function of a module that is not a KnownDLL, resolved by the loader's
// System32-only search so that no DLL beside the program is ever considered.
// Resolved when the table is built: the crash handler must not load a DLL
// inside a crashed process. A module or function that is missing leaves an
// entry that fails the way the function itself would, with the loader's error.
template <typename Function, typename Result>
std::function<Function> from_system32(const wchar_t* module, const char* name, Result failure) {
  const HMODULE handle = ::LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const FARPROC address = handle ? ::GetProcAddress(handle, name) : nullptr;
  if (address) return reinterpret_cast<Function*>(reinterpret_cast<void*>(address));
  const DWORD error = ::GetLastError();
  return [error, failure](auto...) {
    ::SetLastError(error);
    return failure;
  };
}

}  // namespace

system_calls default_system_calls() {
  system_calls t;
#define VORA_CALL(result, name, params) t.name = ::name;
#include "platform/system_calls.def"
#undef VORA_CALL
#define VORA_SYSTEM32_CALL(module, result, name, params, failure)                       \
  static_assert(std::is_same_v<decltype(::name), result params>, #name " as declared"); \
  t.name = from_system32<result params>(L"" #module ".dll", #name, result(failure));
#include "platform/system32_calls.def"
#undef VORA_SYSTEM32_CALL
  t.cpuid = [](std::uint32_t leaf, std::uint32_t subleaf) {
    int regs[4] = {};
    __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
    return std::array<std::uint32_t, 4>{static_cast<std::uint32_t>(regs[0]), static_cast<std::uint32_t>(regs[1]),
                                        static_cast<std::uint32_t>(regs[2]), static_cast<std::uint32_t>(regs[3])};
  };
  t.sleep_ms = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  t.exit_process = [](int code) { std::exit(code); };
  // ntdll always comes from System32, so nothing a user can plant answers yes.
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  t.under_wine = [] { return wine; };
  return t;
}

}  // namespace vora::platform
