#include "platform/system.h"

#include "platform/call_faults.h"

namespace vora::platform {

system_calls& sys() {
  static system_calls table = [] {
    system_calls calls = default_system_calls();
    count_calls(calls);
    return calls;
  }();
  return table;
}

}  // namespace vora::platform
