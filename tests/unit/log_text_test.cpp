#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log_text.h"

namespace {

TEST(LogText, OneLineEscapesControlBytesOnly) {
  struct Case {
    std::string in;
    std::string out;
  } const cases[] = {
      // Ordinary values come back byte for byte: backslashes, UTF-8, bytes from 0x80 up.
      {"https://app.example/r1/a b\\c", "https://app.example/r1/a b\\c"},
      {"d\xC3\xA9j\xC3\xA0 \xE2\x80\xA8 \x80\xFF", "d\xC3\xA9j\xC3\xA0 \xE2\x80\xA8 \x80\xFF"},
      {"", ""},
      // Every byte below 0x20 and 0x7F, as \x and two lower-case digits.
      {"a\nb", "a\\x0ab"},
      {"\r\n", "\\x0d\\x0a"},
      {std::string("\0", 1), "\\x00"},
      {"\t\x1b\x1f\x7f", "\\x09\\x1b\\x1f\\x7f"},
      {" ~", " ~"},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(LogText::oneLine(c.in), c.out) << c.out;
    EXPECT_EQ(LogText::hasControl(c.in), c.in != c.out) << c.out;
  }
}

TEST(LogText, ClippedBodyKeepsUpTo4KiBAndCountsTheRest) {
  auto bytes = [](std::string const& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  std::string const page(4096, 'x');
  EXPECT_EQ(LogText::clippedBody({}), "");
  EXPECT_EQ(LogText::clippedBody(bytes(std::string("a\0\nb", 4))), std::string("a\0\nb", 4));
  EXPECT_EQ(LogText::clippedBody(bytes(page)), page);
  EXPECT_EQ(LogText::clippedBody(bytes(page + "y")), page + "[... 1 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(std::vector<uint8_t>(50 << 20, 'z')),
            std::string(4096, 'z') + "[... 52424704 bytes left out]");
  EXPECT_EQ(LogText::clippedBody(bytes("abcdef"), 2), "ab[... 4 bytes left out]");
}

}  // namespace
