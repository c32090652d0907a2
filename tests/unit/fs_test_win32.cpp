// Cases only the Windows build has: drive roots, both separators, no links.
#include <windows.h>

#include <gtest/gtest.h>

#include "fs/fs.h"
#include "fs/path.h"
#include "fs_fixture.h"

using TestFs::TempDir;

namespace {

// A drive letter that names no drive here, so nothing below it can be made.
std::string unusedDriveRoot() {
  DWORD const drives = GetLogicalDrives();
  for (char letter = 'Z'; letter >= 'D'; --letter) {
    if (!(drives & (1u << (letter - 'A')))) return std::string(1, letter) + ":\\";
  }
  return {};
}

}  // namespace

TEST(FsWin32, CreateSymlinkAlwaysFailsAndMakesNothing) {
  TempDir dir;
  TestFs::makeFile(dir / "target.dll", "x");
  EXPECT_FALSE(FS::createSymlink("target.dll", dir / "link.dll"));
  EXPECT_FALSE(FS::createSymlink("", ""));
  EXPECT_EQ(TestFs::namesInOrder(dir.path()), std::vector<std::string>{"target.dll"});
}

TEST(FsWin32, DriveRootsBoundTheCreationOfParents) {
  EXPECT_TRUE(FS::createDirectories("C:\\"));
  EXPECT_TRUE(FS::createDirectories("C:/"));
  std::string const missing = unusedDriveRoot();
  if (missing.empty()) GTEST_SKIP() << "every drive letter is in use";
  EXPECT_FALSE(FS::createDirectories(missing + "a\\b\\"));
  EXPECT_FALSE(FS::createDirectories(missing));
}

TEST(FsWin32, ForwardSlashesAndTrailingSeparatorsInCallersPaths) {
  TempDir dir;
  std::string const slashed = dir.path() + "/one/two/three//";
  EXPECT_TRUE(FS::createDirectories(slashed));
  EXPECT_TRUE(TestFs::isDirectory(dir / "one/two/three"));
  EXPECT_TRUE(FS::removeAll(dir.path() + "/one"));
  EXPECT_FALSE(TestFs::exists(dir / "one"));
}
