#include <gtest/gtest.h>

#include "fs/path.h"

namespace {

TEST(PosixPathTest, WritesSlashes) {
  EXPECT_EQ(FS::preferredSeparator(), '/');
  EXPECT_EQ(FS::join("/home/u\\x", "a\\b"), "/home/u/x/a/b");
}

TEST(PosixPathTest, WideValuesOutsideUtf16BecomeReplacementCharacters) {
  // A 32-bit wchar_t can hold values that are no UTF-16 code unit at all.
  std::wstring const wide = {static_cast<wchar_t>(0x1F600), L'a'};
  EXPECT_EQ(FS::toUtf8(wide), "\xEF\xBF\xBD" "a");
}

}  // namespace
