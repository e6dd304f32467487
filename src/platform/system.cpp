#include "platform/system.h"

namespace vora::platform {

system_calls& sys() {
  static system_calls table = default_system_calls();
  return table;
}

}  // namespace vora::platform
