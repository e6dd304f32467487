#include "base/text.h"

#include <fmt/format.h>

#include "platform/system.h"

namespace vora {

namespace {

// The system's UTF-8 form of wide, "" when it has none; flags as for
// WideCharToMultiByte (strict, or with U+FFFD for what cannot be encoded).
std::string utf8_of(std::wstring_view wide, DWORD flags) {
  if (wide.empty()) return {};
  const int wide_length = static_cast<int>(wide.size());
  const int size = sys().WideCharToMultiByte(CP_UTF8, flags, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  sys().WideCharToMultiByte(CP_UTF8, flags, wide.data(), wide_length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

}  // namespace

std::string to_utf8(std::wstring_view wide) { return utf8_of(wide, WC_ERR_INVALID_CHARS); }

std::string narrow_path(const std::filesystem::path& path) {
  const std::string narrow = utf8_of(path.wstring(), 0);
  // A name the native API let someone create with a line end in it must not
  // start a record of its own.
  std::string out;
  out.reserve(narrow.size());
  for (const char c : narrow) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      out += fmt::format("\\x{:02X}", byte);
    else
      out += c;
  }
  return out;
}

std::string escape_for_log(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0D:
        out += "\\r";
        break;
      case 0x22:
        out += "\\\"";
        break;
      case 0x5C:
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F)
          out += fmt::format("\\x{:02X}", byte);
        else
          out += c;
    }
  }
  return out;
}

}  // namespace vora
