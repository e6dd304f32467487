// The real table: every entry is the Windows function of the same name.
#include <exdisp.h>
#include <intrin.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

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

// IShellDispatch2's method, not shellapi.h's function of that name.
#undef ShellExecute

// A COM interface pointer released on every way out.
template <typename Interface>
class com_ptr {
 public:
  com_ptr() = default;
  com_ptr(const com_ptr&) = delete;
  com_ptr& operator=(const com_ptr&) = delete;
  ~com_ptr() {
    if (p_) p_->Release();
  }
  Interface** out() { return &p_; }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  explicit operator bool() const { return p_ != nullptr; }
  void** out_void() { return reinterpret_cast<void**>(&p_); }
  Interface* operator->() const { return p_; }

 private:
  Interface* p_ = nullptr;
};

// The shell's dispatch object of the desktop window: the shell, running as
// the signed-in user, starts what it is asked to open.
HRESULT desktop_shell_dispatch(com_ptr<IShellDispatch2>& shell) {
  com_ptr<IShellWindows> windows;
  com_ptr<IDispatch> desktop;
  com_ptr<IServiceProvider> provider;
  com_ptr<IShellBrowser> browser;
  com_ptr<IShellView> view;
  com_ptr<IDispatch> background;
  com_ptr<IShellFolderViewDual> folder_view;
  com_ptr<IDispatch> application;
  VARIANT empty;
  ::VariantInit(&empty);
  long window = 0;
  HRESULT result =
      ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.out_void());
  if (SUCCEEDED(result))
    result = windows->FindWindowSW(&empty, &empty, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.out());
  if (result == S_FALSE) result = E_FAIL;  // no desktop window
  if (SUCCEEDED(result)) result = desktop->QueryInterface(IID_IServiceProvider, provider.out_void());
  if (SUCCEEDED(result)) result = provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.out_void());
  if (SUCCEEDED(result)) result = browser->QueryActiveShellView(view.out());
  if (SUCCEEDED(result)) result = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.out_void());
  if (SUCCEEDED(result)) result = background->QueryInterface(IID_IShellFolderViewDual, folder_view.out_void());
  if (SUCCEEDED(result)) result = folder_view->get_Application(application.out());
  if (SUCCEEDED(result)) result = application->QueryInterface(IID_IShellDispatch2, shell.out_void());
  return result;
}

// One apartment and one dispatch object for the whole run: under Wine 8,
// asking for the shell's window list again later in a run found no class
// registered about one time in two.
HRESULT open_through_desktop_shell(const wchar_t* target) {
  static const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(initialized)) return initialized;
  // Never released: a proxy's release while the process exits could wait on
  // a shell that is gone.
  static com_ptr<IShellDispatch2>& shell = *new com_ptr<IShellDispatch2>;
  HRESULT result = S_OK;
  if (!shell) result = desktop_shell_dispatch(shell);
  if (SUCCEEDED(result)) {
    BSTR file = ::SysAllocString(target);
    VARIANT empty;
    ::VariantInit(&empty);
    result = file ? shell->ShellExecute(file, empty, empty, empty, empty) : E_OUTOFMEMORY;
    ::SysFreeString(file);
  }
  if (FAILED(result)) shell.reset();  // asked for afresh next time
  return result;
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
  t.shell_execute_as_desktop = open_through_desktop_shell;
  return t;
}

}  // namespace vora::platform
