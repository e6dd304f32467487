// to_utf8 over arbitrary wide text: the input is read as 32-bit code units
// (the host's wchar_t), including surrogate values and values above
// 0x10FFFF. Valid text gives its exact UTF-8; anything else gives "".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/text.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring wide(size / sizeof(std::uint32_t), L'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::uint32_t unit;
    std::memcpy(&unit, data + i * sizeof(unit), sizeof(unit));
    wide[i] = static_cast<wchar_t>(unit);
  }

  const std::string narrow = vora::to_utf8(wide);

  std::string expected;
  if (vora::fuzz::reference_utf8(wide, expected)) {
    FUZZ_CHECK(narrow == expected);
  } else {
    FUZZ_CHECK(narrow.empty());
  }
  // The two calls agree: no stray terminator or padding in the result.
  FUZZ_CHECK(narrow.find('\0') == std::string::npos || wide.find(L'\0') != std::wstring::npos);
  return 0;
}
