// url_encode: the unreserved ASCII bytes stay, every other byte becomes
// "%" and two upper-case hexadecimal digits, and decoding gives the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "environment/avx2.h"
#include "fuzz_support.h"

namespace {

bool unreserved(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '-' ||
         byte == '.' || byte == '_' || byte == '~';
}

int upper_hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = vora::url_encode(input);

  std::string decoded;
  std::size_t expected_size = 0;
  for (const char c : input) expected_size += unreserved(static_cast<unsigned char>(c)) ? 1 : 3;
  FUZZ_CHECK(encoded.size() == expected_size);

  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const auto byte = static_cast<unsigned char>(encoded[i]);
    if (byte != '%') {
      // Safe to put in a query: nothing but the unreserved set unescaped.
      FUZZ_CHECK(unreserved(byte));
      decoded += encoded[i];
      continue;
    }
    FUZZ_CHECK(i + 2 < encoded.size());
    const int high = upper_hex(encoded[i + 1]), low = upper_hex(encoded[i + 2]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    const auto value = static_cast<unsigned char>(high * 16 + low);
    // An unreserved byte is never encoded, so the form is canonical.
    FUZZ_CHECK(!unreserved(value));
    decoded += static_cast<char>(value);
    i += 2;
  }
  FUZZ_CHECK(decoded == input);
  return 0;
}
