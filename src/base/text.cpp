#include "base/text.h"

#include <fmt/format.h>

#include "platform/system.h"

namespace vora {

std::string to_utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int wide_length = static_cast<int>(wide.size());
  const int size =
      sys().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  sys().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), wide_length, narrow.data(), size, nullptr,
                            nullptr);
  return narrow;
}

std::string narrow_path(const std::filesystem::path& path) {
  const std::wstring wide = path.wstring();
  if (wide.empty()) return {};
  const int wide_length = static_cast<int>(wide.size());
  const int size = sys().WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  sys().WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, narrow.data(), size, nullptr, nullptr);
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
