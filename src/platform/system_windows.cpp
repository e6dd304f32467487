// The real table: every entry is the Windows function of the same name.
#include <intrin.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/system.h"

namespace vora::platform {

system_calls default_system_calls() {
  system_calls t;
#define VORA_CALL(result, name, params) t.name = ::name;
#include "platform/system_calls.def"
#undef VORA_CALL
  t.cpuid = [](std::uint32_t leaf, std::uint32_t subleaf) {
    int regs[4] = {};
    __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
    return std::array<std::uint32_t, 4>{static_cast<std::uint32_t>(regs[0]), static_cast<std::uint32_t>(regs[1]),
                                        static_cast<std::uint32_t>(regs[2]), static_cast<std::uint32_t>(regs[3])};
  };
  t.sleep_ms = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  t.exit_process = [](int code) { std::exit(code); };
  return t;
}

}  // namespace vora::platform
