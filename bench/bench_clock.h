// Wall-clock seconds for the benchmark programs.
#pragma once

#include <windows.h>

namespace vora::bench {

inline double now_seconds() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace vora::bench
