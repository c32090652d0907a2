#include <gtest/gtest.h>

#include "fs/path.h"

namespace {

// A backslash is part of a name here: the profile path and names read from the disk pass
// through join as they are, and element 0 keeps its whole file name.
TEST(PosixPathTest, BackslashesAreNamesNotSeparators) {
  EXPECT_EQ(FS::preferredSeparator(), '/');
  EXPECT_EQ(FS::join("/home/u\\x", "a\\b"), "/home/u\\x/a\\b");
  EXPECT_EQ(FS::baseName("/opt/q\\quenza-dev"), "q\\quenza-dev");
  EXPECT_EQ(FS::parentPath("/apps/..\\..\\../f"), "/apps/..\\..\\..");
}

TEST(PosixPathTest, WideValuesOutsideUtf16BecomeReplacementCharacters) {
  // A 32-bit wchar_t can hold values that are no UTF-16 code unit at all.
  std::wstring const wide = {static_cast<wchar_t>(0x1F600), L'a'};
  EXPECT_EQ(FS::toUtf8(wide), "\xEF\xBF\xBD" "a");
}

}  // namespace
