#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vora {

// UTF-16 to UTF-8; invalid input (such as a lone surrogate) gives "".
std::string to_utf8(std::wstring_view wide);

// A path for log records and messages: UTF-8, with anything that has no
// UTF-8 form (a lone surrogate, which NTFS accepts) shown as U+FFFD and a
// control character as \xNN. Never throws, unlike the library's narrow
// conversion.
std::string narrow_path(const std::filesystem::path& path);

// Escapes a text so that it stays on one log line and unambiguous inside
// double quotes; bytes from 0x80 up pass unchanged, so UTF-8 survives whole.
std::string escape_for_log(std::string_view text);

}  // namespace vora
