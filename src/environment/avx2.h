#pragma once

#include <string>

namespace vora {

struct cpu_info {
  std::string brand;  // at most 48 characters, spaces kept
  bool has_avx2 = false;
};

inline constexpr const char* web_search_base_url = "https://www.bing.com/search?q=";

// Reads the processor through CPUID (the seam's cpuid call).
cpu_info read_cpu_info();
// The process-wide record, built once.
const cpu_info& processor_info();

// True when the processor reports AVX2; otherwise shows the two guidance
// boxes, and the run ends with exit code 0.
[[nodiscard]] bool require_avx2();
[[nodiscard]] bool require_avx2(const cpu_info& cpu);

std::string read_baseboard_name();
void open_web_search(const std::string& query);
std::string url_encode(const std::string& text);

}  // namespace vora
