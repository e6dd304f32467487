#include "platform/call_count.h"

#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "build_config.h"
#include "platform/system.h"

namespace vora::platform {
namespace {

bool counting = false;
std::uint64_t counted = 0;
std::uint64_t kill_at = 0;

void count_one() {
  if (!counting) return;
  if (++counted == kill_at) std::_Exit(9);
}

template <typename R, typename... A>
void wrap(std::function<R(A...)>& call) {
  if (!call) return;
  call = [inner = std::move(call)](A... args) -> R {
    count_one();
    return inner(std::forward<A>(args)...);
  };
}

}  // namespace

void count_calls(system_calls& table) {
  if constexpr (build::test_hooks) {
    const char* wanted = std::getenv("VORA_TEST_KILL_AT_CALL");
    if (wanted == nullptr) return;
    char* end = nullptr;
    kill_at = std::strtoull(wanted, &end, 10);
    if (end == wanted || *end != '\0' || kill_at == 0) return;
#define VORA_CALL(result, name, params) wrap(table.name);
#define VORA_SYSTEM32_CALL(module, result, name, params, failure) wrap(table.name);
#include "platform/system32_calls.def"
#include "platform/system_calls.def"
#undef VORA_SYSTEM32_CALL
#undef VORA_CALL
    wrap(table.cpuid);
    wrap(table.sleep_ms);
    wrap(table.exit_process);
    wrap(table.under_wine);
    wrap(table.shell_execute_as_desktop);
  } else {
    (void)table;
  }
}

void count_calls_from_here() {
  if (kill_at != 0) counting = true;
}

std::uint64_t calls_counted() { return counted; }

}  // namespace vora::platform
