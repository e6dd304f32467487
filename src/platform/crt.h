// Runtime-library pieces that differ between Windows and other builds.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <string>

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

// Whole-string comparison ignoring letter case (_wcsicmp on Windows).
inline bool equal_ignoring_case(const std::wstring& a, const std::wstring& b) {
#ifdef _WIN32
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
#else
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
#endif
}

// Sends the runtime's own error reports (such as the one abort() writes before
// it raises SIGABRT) to standard error: a windowed program would otherwise
// show a box of its own before the crash handler's.
inline void runtime_errors_to_stderr() {
#ifdef _WIN32
  _set_error_mode(_OUT_TO_STDERR);
#endif
}

}  // namespace vora::platform
