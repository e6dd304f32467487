// Symbolic links for the tests: the standard library cannot make them on
// every platform the tests run on, Windows' own call can.
#pragma once

#include <filesystem>
#include <string>

#include "platform/win32_types.h"

namespace vora::test {

// False with a reason when this system cannot create the link.
inline bool make_file_symlink(const std::filesystem::path& target, const std::filesystem::path& link,
                              std::string& why) {
#ifdef _WIN32
  constexpr DWORD allow_unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), allow_unprivileged)) return true;
  why = "CreateSymbolicLinkW failed with " + std::to_string(GetLastError());
  return false;
#else
  std::error_code ec;
  std::filesystem::create_symlink(target, link, ec);
  why = ec.message();
  return !ec;
#endif
}

}  // namespace vora::test
