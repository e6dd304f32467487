// Scoped owners for the handles the logic opens. Each closes its handle
// exactly once, through the seam, and ignores the "no handle" values.
#pragma once

#include <utility>

#include "platform/system.h"

namespace vora::platform {

template <typename Handle, typename Traits>
class scoped {
 public:
  scoped() = default;
  explicit scoped(Handle handle) : handle_(handle) {}
  ~scoped() { reset(); }
  scoped(scoped&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  scoped& operator=(scoped&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Handle{});
    }
    return *this;
  }
  scoped(const scoped&) = delete;
  scoped& operator=(const scoped&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return Traits::valid(handle_); }
  explicit operator bool() const { return valid(); }
  Handle release() { return std::exchange(handle_, Handle{}); }
  void reset(Handle handle = Handle{}) {
    if (Traits::valid(handle_)) Traits::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

struct kernel_handle_traits {
  static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { sys().CloseHandle(h); }
};
struct service_handle_traits {
  static bool valid(SC_HANDLE h) { return h != nullptr; }
  static void close(SC_HANDLE h) { sys().CloseServiceHandle(h); }
};
struct internet_handle_traits {
  static bool valid(HINTERNET h) { return h != nullptr; }
  static void close(HINTERNET h) { sys().WinHttpCloseHandle(h); }
};
struct registry_key_traits {
  static bool valid(HKEY h) { return h != nullptr; }
  static void close(HKEY h) { sys().RegCloseKey(h); }
};
struct local_memory_traits {
  static bool valid(HLOCAL h) { return h != nullptr; }
  static void close(HLOCAL h) { sys().LocalFree(h); }
};

using scoped_handle = scoped<HANDLE, kernel_handle_traits>;
using scoped_service_handle = scoped<SC_HANDLE, service_handle_traits>;
using scoped_internet_handle = scoped<HINTERNET, internet_handle_traits>;
using scoped_local_memory = scoped<HLOCAL, local_memory_traits>;
using scoped_registry_key = scoped<HKEY, registry_key_traits>;

}  // namespace vora::platform
