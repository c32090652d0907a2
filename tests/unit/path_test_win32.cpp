#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/path.h"

namespace {

TEST(WindowsPathTest, WritesBackslashes) {
  EXPECT_EQ(FS::preferredSeparator(), '\\');
  EXPECT_EQ(FS::join("D:/a/b", "c/d"), "D:\\a\\b\\c\\d");
  EXPECT_EQ(FS::join("D:\\a\\", "\\\\b"), "D:\\a\\\\b");
  EXPECT_EQ(FS::join("D:", "x"), "D:\\x");
}

// The portable converters must agree with the system's on every input; these loops
// cover every sequence of up to two bytes and the edges of the longer forms.
TEST(WindowsPathTest, PortableUtf8DecoderMatchesTheSystem) {
  std::vector<std::string> inputs;
  for (int a = 0; a < 256; ++a) {
    inputs.push_back(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) inputs.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  unsigned char const seconds[] = {0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
  unsigned char const thirds[] = {0x41, 0x80, 0xBF, 0xC0};
  for (int lead = 0xC0; lead < 256; ++lead) {
    for (unsigned char const second : seconds) {
      for (unsigned char const third : thirds) {
        std::string s = {static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third)};
        inputs.push_back(s);
        for (unsigned char const fourth : thirds) inputs.push_back(s + static_cast<char>(fourth));
      }
    }
  }
  int mismatches = 0;
  for (auto const& input : inputs) {
    if (FS::toWide(input) != FS::detail::utf8ToUtf16(input) && ++mismatches <= 10) {
      std::string hex;
      for (unsigned char c : input) hex += " " + std::to_string(c);
      ADD_FAILURE() << "bytes" << hex;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(WindowsPathTest, PortableUtf16EncoderMatchesTheSystem) {
  std::vector<std::wstring> inputs;
  for (unsigned u = 1; u <= 0xFFFF; ++u) inputs.push_back(std::wstring(1, static_cast<wchar_t>(u)));
  unsigned const edges[] = {0x41, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD};
  for (unsigned const a : edges) {
    for (unsigned const b : edges) {
      inputs.push_back({static_cast<wchar_t>(a), static_cast<wchar_t>(b)});
      for (unsigned const c : edges) inputs.push_back({static_cast<wchar_t>(a), static_cast<wchar_t>(b), static_cast<wchar_t>(c)});
    }
  }
  int mismatches = 0;
  for (auto const& input : inputs) {
    if (FS::toUtf8(input) != FS::detail::utf16ToUtf8(input) && ++mismatches <= 10) {
      std::string hex;
      for (wchar_t c : input) hex += " " + std::to_string(static_cast<unsigned>(c));
      ADD_FAILURE() << "units" << hex;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
