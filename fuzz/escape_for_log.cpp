// escape_for_log: any bytes give one printable log line from which the
// original bytes can be recovered exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text.h"
#include "fuzz_support.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are not what the escape writes
}

// Strict inverse of the escape: anything the escape would not write fails.
bool unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '"') return false;
    if (byte != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return false;
        const int value = high * 16 + low;
        // Only bytes without a shorter escape and without a printable form.
        if (!(value < 0x20 || value == 0x7F) || value == '\t' || value == '\n' || value == '\r') return false;
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string escaped = vora::escape_for_log(input);

  // No byte that could end the line, end the quoted field or confuse a reader.
  for (const char c : escaped) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
  }
  std::string recovered;
  FUZZ_CHECK(unescape(escaped, recovered));
  FUZZ_CHECK(recovered == input);
  // Each byte grows to at most four.
  FUZZ_CHECK(escaped.size() >= input.size() && escaped.size() <= 4 * input.size());
  return 0;
}
