#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string_view>

namespace {

TEST(ContainsTextTest, Cases) {
  struct Case {
    std::string_view haystack;
    std::string_view needle;
    bool ignoreCase;
    bool expected;
  };
  Case const cases[] = {
      {"Quenza-Demo.exe", "demo", true, true},
      {"Quenza-Demo.exe", "demo", false, false},
      {"QUENZA-DEMO.EXE", "DeMo", true, true},
      {"quenza.exe", "demo", true, false},
      {"abc", "", false, true},
      {"abc", "", true, true},
      {"", "", true, true},
      {"", "a", true, false},
      {"ab", "abc", true, false},
      // Contiguous bytes only.
      {"d-e-m-o", "demo", true, false},
      {"..\\x", "..", false, true},
      {"libfoo.so.1", ".so", false, true},
      // Only ASCII capitals are lowered: "É" (C3 89) never matches "é" (C3 A9).
      {"D\xC3\x89MO", "d\xC3\xA9mo", true, false},
      {"d\xC3\xA9mo", "D\xC3\xA9MO", true, true},
      // Bytes at and above 128 are not case-mapped into ASCII.
      {"\xC4\xB0", "i", true, false},
      // Characters next to the capitals' range stay themselves.
      {"[@]", "{`}", true, false},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.haystack << "' / '" << c.needle << "' ignoreCase=" << c.ignoreCase);
    EXPECT_EQ(containsText(c.haystack, c.needle, c.ignoreCase), c.expected);
  }
}

TEST(ParseIntOrTest, Cases) {
  struct Case {
    std::string_view text;
    int32_t expected;
  };
  Case const cases[] = {
      {"42", 42},
      {"-7", -7},
      {"0", 0},
      {"-0", 0},
      {"007", 7},
      {"22631", 22631},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"000000000002147483647", INT32_MAX},
      // Every one of these gives the fallback.
      {"", 99},
      {"-", 99},
      {"+5", 99},
      {" 5", 99},
      {"5 ", 99},
      {"12abc", 99},
      {"1.5", 99},
      {"--5", 99},
      {"2147483648", 99},
      {"-2147483649", 99},
      {"4294967296", 99},
      {"99999999999999999999999", 99},
      {"0x10", 99},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseIntOr(c.text, 99), c.expected);
  }
  EXPECT_EQ(parseIntOr("abc", -1), -1);
  EXPECT_EQ(parseIntOr("2147483648", INT32_MIN), INT32_MIN);
}

}  // namespace
