// Runtime-library pieces that differ between Windows and other builds.
#pragma once

#include <ctime>

namespace vora::platform {

// Breaks seconds since 1970 down into local time (_localtime64_s on Windows).
inline std::tm local_time(std::time_t seconds) {
  std::tm result{};
#ifdef _WIN32
  __time64_t value = seconds;
  _localtime64_s(&result, &value);
#else
  localtime_r(&seconds, &result);
#endif
  return result;
}

}  // namespace vora::platform
