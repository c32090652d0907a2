#include <gtest/gtest.h>

#include <string>

#include "fs/path.h"

namespace {

// Cases are written with the backslash the Windows build writes; the build's own join
// is checked with every backslash of the expected text turned into its separator.
std::string withSeparator(std::string text, char separator) {
  for (char& c : text) {
    if (c == '\\') c = separator;
  }
  return text;
}

struct JoinCase {
  std::string a;
  std::string b;
  std::string expected;
};

JoinCase const kJoinCases[] = {
    {"D:/a/b", "c/d", "D:\\a\\b\\c\\d"},
    {"D:\\a\\", "\\b", "D:\\a\\b"},
    {"D:\\a\\", "\\\\b", "D:\\a\\\\b"},
    {"D:\\a", "\\b", "D:\\a\\b"},
    {"D:\\a\\", "b", "D:\\a\\b"},
    {"D:\\a", "b", "D:\\a\\b"},
    {"D:/a/", "/b", "D:\\a\\b"},
    {"D:\\a/", "\\b", "D:\\a\\b"},
    {"", "x/y", "x\\y"},
    {"x/y", "", "x\\y"},
    {"", "", ""},
    {"", "/", "\\"},
    {"D:", "x", "D:\\x"},
    {"D:\\a", "..\\b", "D:\\a\\..\\b"},
    {"D:\\a", "./b", "D:\\a\\.\\b"},
    {"a\\\\", "b", "a\\\\b"},
    {"a\\\\", "\\\\b", "a\\\\\\b"},
    // A drive-qualified or absolute second piece is appended like any other.
    {"D:\\a", "C:\\b", "D:\\a\\C:\\b"},
    {"\\\\server\\share", "dir", "\\\\server\\share\\dir"},
    {"/", "/", "\\"},
    {"d\xC3\xA9j\xC3\xA0", "\xC3\xA9t\xC3\xA9", "d\xC3\xA9j\xC3\xA0\\\xC3\xA9t\xC3\xA9"},
};

TEST(PathTest, JoinWithBackslash) {
  for (auto const& c : kJoinCases) {
    SCOPED_TRACE(c.a + " + " + c.b);
    EXPECT_EQ(FS::joinWith(c.a, c.b, '\\'), c.expected);
  }
}

TEST(PathTest, JoinWithTheBuildsSeparator) {
  char const sep = FS::preferredSeparator();
  for (auto const& c : kJoinCases) {
    SCOPED_TRACE(c.a + " + " + c.b);
    EXPECT_EQ(FS::join(c.a, c.b), withSeparator(c.expected, sep));
    EXPECT_EQ(FS::joinWith(c.a, c.b, '/'), withSeparator(c.expected, '/'));
  }
}

TEST(PathTest, BaseName) {
  struct Case {
    std::string path;
    std::string expected;
  };
  Case const cases[] = {
      {"D:\\dir\\name\\\\", "name"},
      {"D:\\dir\\name", "name"},
      {"name", "name"},
      {"D:\\", ""},
      {"D:/", ""},
      {"D:\\\\", ""},
      {"/", ""},
      {"\\", ""},
      {"//", ""},
      {"", ""},
      {"a\\b/c", "c"},
      {"a/b\\c", "c"},
      {"C:\\Users\\x\\quenza-bo.exe", "quenza-bo.exe"},
      {"/usr/bin/quenza-bo", "quenza-bo"},
      {"D:", "D:"},
      {"D:x", "D:x"},
      {"\\x", "x"},
      {"x/", "x"},
      {"..", ".."},
      {"a/..", ".."},
      // Three characters with a colon in second place and a separator at the end only.
      {"D:\\x\\", "x"},
      {"ab:\\", "ab:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(FS::baseName(c.path), c.expected);
  }
}

TEST(PathTest, ParentPath) {
  struct Case {
    std::string path;
    std::string expected;
  };
  Case const cases[] = {
      {"D:\\dir\\file.txt", "D:\\dir"},
      {"D:\\dir\\", "D:"},
      {"D:\\dir", "D:"},
      {"D:\\x", "D:"},
      {"D:\\", ""},
      {"D:/", ""},
      {"\\x", ""},
      {"/x", ""},
      {"/", ""},
      {"", ""},
      {"a\\b/c", "a\\b"},
      {"a/b\\c\\\\", "a/b"},
      {"a\\\\b", "a\\"},
      {"/home/u/.QuenzaQtApps/x", "/home/u/.QuenzaQtApps"},
      {"name", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(FS::parentPath(c.path), c.expected);
  }
}

std::wstring units(std::initializer_list<unsigned> codeUnits) {
  std::wstring w;
  for (unsigned u : codeUnits) w.push_back(static_cast<wchar_t>(u));
  return w;
}

TEST(EncodingTest, Utf8ToUtf16) {
  struct Case {
    std::string name;
    std::string utf8;
    std::wstring expected;
  };
  Case const cases[] = {
      {"empty", "", {}},
      {"ascii", "abc", units({'a', 'b', 'c'})},
      {"embedded zero", std::string("a\0b", 3), units({'a', 0, 'b'})},
      {"two-byte", "d\xC3\xA9", units({'d', 0xE9})},
      {"smallest two-byte", "\xC2\x80", units({0x80})},
      {"largest two-byte", "\xDF\xBF", units({0x7FF})},
      {"smallest three-byte", "\xE0\xA0\x80", units({0x800})},
      {"euro", "\xE2\x82\xAC", units({0x20AC})},
      {"before surrogates", "\xED\x9F\xBF", units({0xD7FF})},
      {"after surrogates", "\xEE\x80\x80", units({0xE000})},
      {"replacement character", "\xEF\xBF\xBD", units({0xFFFD})},
      {"supplementary", "\xF0\x9F\x98\x80", units({0xD83D, 0xDE00})},
      {"smallest four-byte", "\xF0\x90\x80\x80", units({0xD800, 0xDC00})},
      {"largest code point", "\xF4\x8F\xBF\xBF", units({0xDBFF, 0xDFFF})},
      // Rejected as a whole: never a partial or replaced result.
      {"lone lead byte", "\xC3", {}},
      {"lead byte after text", "abc\xC3", {}},
      {"lead byte before text", "\xC3xyz", {}},
      {"lone continuation", "\x80", {}},
      {"overlong slash", "\xC0\xAF", {}},
      {"overlong C1", "\xC1\xBF", {}},
      {"overlong three-byte", "\xE0\x80\xAF", {}},
      {"overlong three-byte high", "\xE0\x9F\xBF", {}},
      {"overlong four-byte", "\xF0\x80\x80\xAF", {}},
      {"overlong four-byte high", "\xF0\x8F\xBF\xBF", {}},
      {"encoded high surrogate", "\xED\xA0\x80", {}},
      {"encoded low surrogate", "\xED\xBF\xBF", {}},
      {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", {}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {}},
      {"lead F5", "\xF5\x80\x80\x80", {}},
      {"lead FF", "\xFF", {}},
      {"truncated three-byte", "\xE2\x82", {}},
      {"truncated four-byte", "\xF0\x9F\x98", {}},
      {"continuation missing", "\xE2\x41\xAC", {}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FS::toWide(c.utf8), c.expected);
    EXPECT_EQ(FS::detail::utf8ToUtf16(c.utf8), c.expected);
  }
}

TEST(EncodingTest, Utf16ToUtf8) {
  struct Case {
    std::string name;
    std::wstring wide;
    std::string expected;
  };
  Case const cases[] = {
      {"empty", {}, ""},
      {"ascii", units({'a', 'b'}), "ab"},
      {"embedded zero", units({'a', 0, 'b'}), std::string("a\0b", 3)},
      {"boundaries", units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}),
       "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {"supplementary", units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
      {"largest code point", units({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
      {"unpaired high surrogate", units({0xD800}), "\xEF\xBF\xBD"},
      {"unpaired low surrogate", units({0xDC00}), "\xEF\xBF\xBD"},
      {"high surrogate before text", units({0xD83D, 'a'}), "\xEF\xBF\xBD" "a"},
      {"high surrogate at the end", units({'a', 0xDBFF}), "a\xEF\xBF\xBD"},
      {"reversed pair", units({0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"two highs then a low", units({0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FS::toUtf8(c.wide), c.expected);
    EXPECT_EQ(FS::detail::utf16ToUtf8(c.wide), c.expected);
  }
}

TEST(EncodingTest, RoundTrips) {
  for (std::string const text : {"C:\\Users\\Zo\xC3\xAB\\.QuenzaQtApps", "\xF0\x9F\x98\x80/\xE4\xB8\xAD\xE6\x96\x87",
                                 "\xF4\x8F\xBF\xBF", "\x7F"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(FS::toUtf8(FS::toWide(text)), text);
    EXPECT_EQ(FS::detail::utf16ToUtf8(FS::detail::utf8ToUtf16(text)), text);
  }
}

}  // namespace
