// Peak memory and time of verify_image on one signed image: the peak
// working set before and after the call, and the peak private bytes seen by
// a thread sampling them every millisecond meanwhile (Wine keeps no peak of
// its own for them); and the time of the program's own
// Authenticode digest of the same bytes, the part of the signed-content check
// that grows with the image. Prints "name: value" lines.
// Usage: bench_verify.exe PATH
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "download/authenticode.h"
#include "download/held_image.h"
#include "download/verify.h"

namespace {

PROCESS_MEMORY_COUNTERS_EX counters() {
  PROCESS_MEMORY_COUNTERS_EX c{};
  c.cb = sizeof(c);
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof(c));
  return c;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_verify PATH\n");
    return 2;
  }
  const PROCESS_MEMORY_COUNTERS_EX before = counters();
  std::atomic<bool> done{false};
  SIZE_T peak_private = before.PrivateUsage;
  std::thread sampler([&] {
    while (!done.load()) {
      peak_private = std::max(peak_private, counters().PrivateUsage);
      Sleep(1);
    }
  });
  vora::held_image held;
  const double start = vora::bench::now_seconds();
  const bool verified = vora::verify_image(argv[1], held, std::nullopt, vora::signature_check::required);
  const double seconds = vora::bench::now_seconds() - start;
  done = true;
  sampler.join();
  const PROCESS_MEMORY_COUNTERS_EX after = counters();
  held.dispose();
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  std::string reason;
  const double digest_start = vora::bench::now_seconds();
  const bool digested = vora::authenticode_digest(image, reason).has_value();
  const double digest_seconds = vora::bench::now_seconds() - digest_start;
  std::printf("verified: %d\n", verified ? 1 : 0);
  std::printf("image_digest_ok: %d\n", digested ? 1 : 0);
  std::printf("image_digest_seconds: %.3f\n", digest_seconds);
  std::printf("seconds: %.3f\n", seconds);
  std::printf("working_set_before: %llu\n", static_cast<unsigned long long>(before.PeakWorkingSetSize));
  std::printf("peak_working_set: %llu\n", static_cast<unsigned long long>(after.PeakWorkingSetSize));
  std::printf("private_before: %llu\n", static_cast<unsigned long long>(before.PrivateUsage));
  std::printf("peak_private: %llu\n", static_cast<unsigned long long>(peak_private));
  return verified ? 0 : 1;
}
