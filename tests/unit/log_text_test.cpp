#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log_text.h"

namespace {

TEST(LogText, OneLineEscapesControlsOnly) {
  struct Case {
    std::string in;
    std::string out;
  } const cases[] = {
      // Ordinary values come back byte for byte: backslashes, UTF-8 of every length.
      {"https://app.example/r1/a b\\c", "https://app.example/r1/a b\\c"},
      {"d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0",
       "d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0"},
      {"", ""},
      // Bytes that are no UTF-8 (stray, truncated, an overlong NEL, a surrogate) are no
      // characters, so no controls either: copied.
      {"\x80\xFF \xC2 \xE2\x80 \xC0\x85 \xED\xA0\x80 \x9B", "\x80\xFF \xC2 \xE2\x80 \xC0\x85 \xED\xA0\x80 \x9B"},
      // Every byte below 0x20 and 0x7F, as \x and two lower-case digits.
      {"a\nb", "a\\x0ab"},
      {"\r\n", "\\x0d\\x0a"},
      {std::string("\0", 1), "\\x00"},
      {"\t\x1b\x1f\x7f", "\\x09\\x1b\\x1f\\x7f"},
      {" ~", " ~"},
      // C1 controls (a terminal's CSI among them) and the two separators, as \u and four
      // lower-case digits; their neighbours stay.
      {"\xC2\x80\xC2\x85\xC2\x9B[2J\xC2\x9F", "\\u0080\\u0085\\u009b[2J\\u009f"},
      {"a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xE2\x80\xA7\xE2\x80\xAA", "a\\u2028b\\u2029c\xE2\x80\xA7\xE2\x80\xAA"},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(LogText::oneLine(c.in), c.out) << c.out;
    EXPECT_EQ(LogText::hasControl(c.in), c.in != c.out) << c.out;
  }
}

TEST(LogText, ClippedBodyKeepsUpTo4KiBAndCountsTheRest) {
  auto bytes = [](std::string const& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  std::string const page(4096, 'x');
  std::string const almost(4095, 'x');
  EXPECT_EQ(LogText::clippedBody({}), "");
  EXPECT_EQ(LogText::clippedBody(bytes(page)), page);
  EXPECT_EQ(LogText::clippedBody(bytes(page + "y")), page + "[... 1 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(std::vector<uint8_t>(50 << 20, 'z')),
            std::string(4096, 'z') + "[... 52424704 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(bytes("abcdef"), 2), "ab[... 4 bytes left out]");
  // Bodies are escaped like values: a forged line stays inside its own. The bound counts
  // the body's bytes, not the escapes.
  EXPECT_EQ(LogText::clippedBody(bytes("x\nChanging state: Closing window\nDL ended: done=1 failed=0")),
            "x\\x0aChanging state: Closing window\\x0aDL ended: done=1 failed=0");
  EXPECT_EQ(LogText::clippedBody(bytes(std::string(4096, '\n'))).size(), 4 * 4096u);
  // The cut never splits a character: one that would cross the bound is left out whole;
  // bytes that are no UTF-8 are cut anywhere.
  EXPECT_EQ(LogText::clippedBody(bytes(almost + "\xC3\xA9y")), almost + "[... 3 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(bytes(almost + "\xC2\x9B")), almost + "[... 2 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(bytes(almost + "\xC3\xC3")), almost + "\xC3[... 1 bytes left out]");
}

}  // namespace
