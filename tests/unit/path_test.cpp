#include <gtest/gtest.h>

#include <string>

#include "fs/path.h"

namespace {

using FS::PathStyle;

struct JoinCase {
  std::string a;
  std::string b;
  std::string expected;
};

JoinCase const kWindowsJoinCases[] = {
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

// Under POSIX rules a backslash is a byte of a name: nothing is rewritten, and a name
// read from the disk stays one name below its directory.
JoinCase const kPosixJoinCases[] = {
    {"/home/u", "a\\b", "/home/u/a\\b"},
    {"/home/u\\x", "a", "/home/u\\x/a"},
    {"/apps", "..\\..\\..", "/apps/..\\..\\.."},
    {"/apps", "https__h\\..\\..\\elsewhere", "/apps/https__h\\..\\..\\elsewhere"},
    {"x\\", "\\y", "x\\/\\y"},
    {"/a/", "/b", "/a/b"},
    {"/a/", "//b", "/a//b"},
    {"/a", "/b", "/a/b"},
    {"/a", "b", "/a/b"},
    {"", "x/y", "x/y"},
    {"x/y", "", "x/y"},
    {"", "", ""},
    {"/", "/", "/"},
    {"D:", "x", "D:/x"},
    {"/a", "caf\xE9", "/a/caf\xE9"},
};

TEST(PathTest, JoinUnderEitherRules) {
  for (auto const& c : kWindowsJoinCases) {
    SCOPED_TRACE("Windows: " + c.a + " + " + c.b);
    EXPECT_EQ(FS::join(PathStyle::Windows, c.a, c.b), c.expected);
  }
  for (auto const& c : kPosixJoinCases) {
    SCOPED_TRACE("POSIX: " + c.a + " + " + c.b);
    EXPECT_EQ(FS::join(PathStyle::Posix, c.a, c.b), c.expected);
  }
}

TEST(PathTest, TheBuildFollowsItsOwnRules) {
  PathStyle const style = FS::nativePathStyle();
  EXPECT_EQ(FS::preferredSeparator(), style == PathStyle::Windows ? '\\' : '/');
  auto const check = [style](JoinCase const& c) {
    SCOPED_TRACE(c.a + " + " + c.b);
    EXPECT_EQ(FS::join(c.a, c.b), FS::join(style, c.a, c.b));
    EXPECT_EQ(FS::baseName(c.expected), FS::baseName(style, c.expected));
    EXPECT_EQ(FS::parentPath(c.expected), FS::parentPath(style, c.expected));
  };
  for (auto const& c : kWindowsJoinCases) check(c);
  for (auto const& c : kPosixJoinCases) check(c);
}

struct SplitCase {
  std::string path;
  std::string expected;
};

TEST(PathTest, BaseName) {
  SplitCase const windows[] = {
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
  for (auto const& c : windows) {
    SCOPED_TRACE("Windows: " + c.path);
    EXPECT_EQ(FS::baseName(PathStyle::Windows, c.path), c.expected);
  }
  SplitCase const posix[] = {
      {"/usr/bin/quenza-bo", "quenza-bo"},
      {"/tmp/x\\quenza-dev", "x\\quenza-dev"},
      {"a\\b/c", "c"},
      {"a/b\\c", "b\\c"},
      {"..\\..\\..", "..\\..\\.."},
      {"\\x", "\\x"},
      {"D:/", "D:"},
      {"x//", "x"},
      {"/", ""},
      {"//", ""},
      {"", ""},
  };
  for (auto const& c : posix) {
    SCOPED_TRACE("POSIX: " + c.path);
    EXPECT_EQ(FS::baseName(PathStyle::Posix, c.path), c.expected);
  }
}

TEST(PathTest, ParentPath) {
  SplitCase const windows[] = {
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
  for (auto const& c : windows) {
    SCOPED_TRACE("Windows: " + c.path);
    EXPECT_EQ(FS::parentPath(PathStyle::Windows, c.path), c.expected);
  }
  SplitCase const posix[] = {
      {"/home/u/.QuenzaQtApps/x", "/home/u/.QuenzaQtApps"},
      {"/apps/https__h\\..\\..\\elsewhere/QUENZA_BO", "/apps/https__h\\..\\..\\elsewhere"},
      {"a\\b/c", "a\\b"},
      {"a/b\\c", "a"},
      {"a\\b", ""},
      {"D:/x", "D:"},
      {"D:/", ""},
      {"a//b", "a/"},
      {"/x", ""},
      {"/", ""},
      {"", ""},
  };
  for (auto const& c : posix) {
    SCOPED_TRACE("POSIX: " + c.path);
    EXPECT_EQ(FS::parentPath(PathStyle::Posix, c.path), c.expected);
  }
}

// The manifest's entry paths are the one place where a backslash separates under POSIX
// rules too.
TEST(PathTest, EntryPathsTakeEitherSeparator) {
  EXPECT_EQ(FS::fromEitherSeparator(PathStyle::Posix, "lib\\plugins/a.so"), "lib/plugins/a.so");
  EXPECT_EQ(FS::fromEitherSeparator(PathStyle::Windows, "lib\\plugins/a.so"), "lib\\plugins/a.so");
  EXPECT_EQ(FS::join(PathStyle::Posix, "/i", FS::fromEitherSeparator(PathStyle::Posix, "a\\b")), "/i/a/b");
}

// The form the Windows build hands to the system: long paths work, and since the system
// reads nothing in it any more, separators, "." and ".." are settled first.
TEST(PathTest, ExtendedLengthForm) {
  SplitCase const cases[] = {
      {"C:\\Users\\z\\.QuenzaQtApps", "\\\\?\\C:\\Users\\z\\.QuenzaQtApps"},
      {"C:/Users/z/apps/", "\\\\?\\C:\\Users\\z\\apps"},
      {"c:\\a\\\\b\\.\\c\\..\\d", "\\\\?\\c:\\a\\b\\d"},
      {"C:\\..\\..\\x", "\\\\?\\C:\\x"},
      {"C:\\", "\\\\?\\C:\\"},
      {"C:/", "\\\\?\\C:\\"},
      {"C:\\dir\\*", "\\\\?\\C:\\dir\\*"},
      {"C:\\name. \\nul", "\\\\?\\C:\\name. \\nul"},
      {"\\\\server\\share\\a\\..\\..\\b", "\\\\?\\UNC\\server\\share\\b"},
      {"//server/share/", "\\\\?\\UNC\\server\\share"},
      {"\\\\server", "\\\\server"},
      {"\\\\server\\\\share", "\\\\server\\\\share"},
      // A share named "." or ".." is none: left to the system as it is.
      {"\\\\server\\..\\x", "\\\\server\\..\\x"},
      {"\\\\server\\.\\x", "\\\\server\\.\\x"},
      {"\\\\?\\C:\\a/b\\..", "\\\\?\\C:\\a/b\\.."},
      {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"},
      {".QuenzaQtApps\\x", ".QuenzaQtApps\\x"},
      {"C:relative", "C:relative"},
      {"\\rooted\\x", "\\rooted\\x"},
      {"", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(FS::detail::extendedLengthPath(c.path), c.expected);
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
