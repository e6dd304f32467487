// Test helper: the whole setup program on a processor that reports no AVX2
// and a known brand string, so the guidance boxes and their web searches can
// be driven end to end. The shipped VoraSetup.exe keeps the real CPUID.
#include <array>
#include <cstdint>
#include <cstring>

#include "app/entry.h"
#include "platform/system.h"

namespace {

constexpr char brand[] = "Example(R) CPU 1000 @ 2.00GHz";

std::array<std::uint32_t, 4> brand_part(std::uint32_t index) {
  char padded[48] = {};  // zero bytes after the text end the brand
  std::memcpy(padded, brand, sizeof(brand) - 1);
  std::array<std::uint32_t, 4> regs{};
  std::memcpy(regs.data(), padded + index * 16, 16);
  return regs;
}

}  // namespace

int wmain() {
  const auto real_cpuid = vora::sys().cpuid;
  vora::sys().cpuid = [real_cpuid](std::uint32_t leaf, std::uint32_t subleaf) -> std::array<std::uint32_t, 4> {
    switch (leaf) {
      case 0:
        return {0x0D, 0, 0, 0};
      case 7:
        return {0, real_cpuid(7, 0)[1] & ~(1u << 5), 0, 0};  // AVX2 bit clear
      case 0x80000000u:
        return {0x80000008u, 0, 0, 0};
      case 0x80000002u:
      case 0x80000003u:
      case 0x80000004u:
        return brand_part(leaf - 0x80000002u);
      default:
        return real_cpuid(leaf, subleaf);
    }
  };
  return vora::run_setup();
}
