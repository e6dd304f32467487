#include "base/text.h"

#include <gtest/gtest.h>

namespace vora {
namespace {

TEST(EscapeForLog, EscapesControlQuotesAndBackslashes) {
  EXPECT_EQ(escape_for_log("a\tb\nc\rd"), "a\\tb\\nc\\rd");
  EXPECT_EQ(escape_for_log("say \"hi\" \\ there"), "say \\\"hi\\\" \\\\ there");
  EXPECT_EQ(escape_for_log(std::string("\x01\x1f\x7f", 3)), "\\x01\\x1F\\x7F");
  EXPECT_EQ(escape_for_log(std::string("\0", 1)), "\\x00");
  EXPECT_EQ(escape_for_log("Failed.\n\nUsage"), "Failed.\\n\\nUsage");
}

TEST(EscapeForLog, PassesPrintableAndHighBytes) {
  EXPECT_EQ(escape_for_log(" ~az09{}"), " ~az09{}");
  EXPECT_EQ(escape_for_log("caf\xC3\xA9 \xFF"), "caf\xC3\xA9 \xFF");
  EXPECT_EQ(escape_for_log(""), "");
}

TEST(ToUtf8, ConvertsAndRejectsInvalidInput) {
  EXPECT_EQ(to_utf8(L""), "");
  EXPECT_EQ(to_utf8(L"/install"), "/install");
  EXPECT_EQ(to_utf8(L"caf\u00e9 \u20ac"), "caf\xC3\xA9 \xE2\x82\xAC");
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  EXPECT_EQ(to_utf8(lone_surrogate), "");
}

}  // namespace
}  // namespace vora
