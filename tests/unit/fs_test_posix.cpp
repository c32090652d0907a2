// Cases only this build has: symbolic links of every kind, permission bits, names that
// are not UTF-8.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/fs.h"
#include "fs/path.h"
#include "fs_fixture.h"

using FS::Entry;
using FS::EntryType;
using TestFs::TempDir;

namespace {

std::vector<uint8_t> bytesOf(std::string const& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string linkText(std::string const& path) {
  char buffer[4096];
  ssize_t const length = readlink(path.c_str(), buffer, sizeof(buffer));
  return length < 0 ? std::string("<no link>") : std::string(buffer, static_cast<size_t>(length));
}

bool isLink(std::string const& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void makeLink(std::string const& target, std::string const& linkPath) {
  ASSERT_EQ(symlink(target.c_str(), linkPath.c_str()), 0) << std::strerror(errno);
}

}  // namespace

TEST(FsPosixLinks, EveryKindOfLinkIsListedAsLinkAndNeverFollowed) {
  TempDir dir;
  TestFs::makeDirs(dir / "real");
  TestFs::makeFile(dir / "real/file.txt", "0123456789");
  TestFs::makeDirs(dir / "top");
  makeLink("../real", dir / "top/to-dir");
  makeLink("../real/file.txt", dir / "top/to-file");
  makeLink("nowhere", dir / "top/dangling");
  makeLink("self", dir / "top/self");

  std::vector<Entry> out;
  ASSERT_TRUE(FS::list(out, dir / "top", true, {}));
  ASSERT_EQ(out.size(), 4u);
  for (Entry const& entry : out) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.type, EntryType::Link);
    EXPECT_EQ(entry.size, 0u);
  }
}

TEST(FsPosixLinks, RemovalUnlinksLinksAndLeavesTheirTargets) {
  TempDir dir;
  TestFs::makeDirs(dir / "real/sub");
  TestFs::makeFile(dir / "real/sub/kept.txt", "kept");
  TestFs::makeFile(dir / "real/file.txt", "file");
  TestFs::makeDirs(dir / "tree/inner");
  makeLink(dir / "real", dir / "tree/to-dir");
  makeLink(dir / "real/file.txt", dir / "tree/inner/to-file");
  makeLink("nowhere", dir / "tree/dangling");
  makeLink(dir / "real", dir / "alone");

  // A trailing separator would make the system resolve the link: it is ignored.
  EXPECT_TRUE(FS::removeAll(dir / "alone/"));
  EXPECT_FALSE(TestFs::exists(dir / "alone"));
  EXPECT_TRUE(FS::removeAll(dir / "tree"));
  EXPECT_FALSE(TestFs::exists(dir / "tree"));
  EXPECT_EQ(TestFs::readFile(dir / "real/sub/kept.txt"), "kept");
  EXPECT_EQ(TestFs::readFile(dir / "real/file.txt"), "file");
}

// As a junction is on Windows, a link to a directory is as good as one; nothing is made
// through it, and a dangling link is no directory.
TEST(FsPosixLinks, DirectoryCreationTakesALinkToADirectoryAndMakesNothingThroughIt) {
  TempDir dir;
  TestFs::makeDirs(dir / "real");
  makeLink(dir / "real", dir / "to-dir");
  makeLink(dir / "real/made", dir / "dangling");
  EXPECT_TRUE(FS::createDirectories(dir / "to-dir"));
  EXPECT_TRUE(isLink(dir / "to-dir"));
  EXPECT_FALSE(FS::createDirectories(dir / "dangling"));
  EXPECT_TRUE(TestFs::namesInOrder(dir / "real").empty());
}

TEST(FsPosixLinks, WritingRefusesALinkAtTheTarget) {
  TempDir dir;
  TestFs::makeFile(dir / "victim.txt", "untouched");
  makeLink(dir / "victim.txt", dir / "to-file");
  makeLink(dir / "planted.txt", dir / "dangling");
  EXPECT_FALSE(FS::writeFile(dir / "to-file", bytesOf("payload")));
  EXPECT_FALSE(FS::writeFile(dir / "dangling", bytesOf("payload")));
  EXPECT_EQ(TestFs::readFile(dir / "victim.txt"), "untouched");
  EXPECT_FALSE(TestFs::exists(dir / "planted.txt"));
}

TEST(FsPosixLinks, CreateSymlinkStoresTheTargetAsGiven) {
  TempDir dir;
  TestFs::makeFile(dir / "libfoo.so.1.2", "elf");
  EXPECT_TRUE(FS::createSymlink("libfoo.so.1.2", dir / "libfoo.so.1"));
  EXPECT_TRUE(isLink(dir / "libfoo.so.1"));
  EXPECT_EQ(linkText(dir / "libfoo.so.1"), "libfoo.so.1.2");
  EXPECT_EQ(TestFs::readFile(dir / "libfoo.so.1"), "elf");

  // Dangling is allowed; an occupied place, a missing directory or a NUL is not.
  EXPECT_TRUE(FS::createSymlink("later.so", dir / "dangling.so"));
  EXPECT_FALSE(FS::createSymlink("other", dir / "libfoo.so.1"));
  EXPECT_FALSE(FS::createSymlink("x", dir / "missing/link"));
  EXPECT_FALSE(FS::createSymlink(std::string("x\0y", 3), dir / "bad"));
  EXPECT_FALSE(FS::createSymlink("x", dir / "bad" + std::string(1, '\0') + "y"));
  EXPECT_EQ(linkText(dir / "libfoo.so.1"), "libfoo.so.1.2");
  EXPECT_FALSE(TestFs::exists(dir / "bad"));
}

TEST(FsPosixRemoveAll, PathThatCannotBeExaminedIsNotReportedRemoved) {
  TempDir dir;
  makeLink("loop", dir / "loop");  // resolving it as a directory never ends
  EXPECT_FALSE(FS::removeAll(dir / "loop/child"));
  EXPECT_TRUE(isLink(dir / "loop"));
}

// A name is a byte string: one that is not UTF-8 is listed like any other and never ends
// a listing, and paths holding one are made, written and removed.
TEST(FsPosixNames, NamesThatAreNotUtf8AreOrdinaryNames) {
  TempDir dir;
  std::string const latin1 = "caf\xE9";
  TestFs::makeDirs(dir / ("tree/" + latin1 + "/inner"));
  TestFs::makeFile(dir / ("tree/" + latin1 + ".txt"), "latin-1 name");
  TestFs::makeFile(dir / "tree/plain.txt", "plain");
  std::vector<Entry> out;
  ASSERT_TRUE(FS::list(out, dir / "tree", true, {}));
  std::vector<std::string> names;
  for (Entry const& entry : out) names.push_back(entry.path);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{dir / "tree/caf\xE9", dir / "tree/caf\xE9.txt",
                                             dir / "tree/caf\xE9/inner", dir / "tree/plain.txt"}));

  std::string const made = dir / (latin1 + "/sub\xFF");
  EXPECT_TRUE(FS::createDirectories(made));
  EXPECT_TRUE(FS::writeFile(made + "/f\xFE", bytesOf("x")));
  EXPECT_EQ(TestFs::readFile(made + "/f\xFE"), "x");
  EXPECT_TRUE(FS::removeAll(dir / "tree"));
  EXPECT_TRUE(FS::removeAll(dir / latin1));
  EXPECT_TRUE(TestFs::namesInOrder(dir.path()).empty());
}

// A backslash is a byte of a name: "..\..\.." is one entry inside the tree, and removing
// the tree removes it there, never what the text would name on Windows.
TEST(FsPosixNames, BackslashesNeverClimbOutOfATree) {
  TempDir dir;
  std::string const tree = dir / "x/y/z/tree";
  TestFs::makeDirs(tree + "/a\\b");
  TestFs::makeFile(tree + "/a\\b/inside", "i");
  TestFs::makeFile(tree + "/..\\..\\..", "climbs on Windows");
  TestFs::makeFile(dir / "x/keep.txt", "keep");
  std::vector<Entry> out;
  ASSERT_TRUE(FS::list(out, tree, false, {}));
  for (Entry const& entry : out) EXPECT_EQ(entry.path, tree + "/" + entry.name);
  EXPECT_TRUE(FS::removeAll(tree));
  EXPECT_FALSE(TestFs::exists(tree));
  EXPECT_EQ(TestFs::readFile(dir / "x/keep.txt"), "keep");
  EXPECT_TRUE(TestFs::isDirectory(dir / "x/y/z"));
}

// Root ignores permission bits, so the owner's view is checked in a child that runs as
// an unprivileged user owning the tree.
TEST(FsPosixRemoveAll, ReadOnlyTreeIsRemovedByItsOwner) {
  TempDir dir;
  TestFs::makeDirs(dir / "tree/a/b");
  TestFs::makeFile(dir / "tree/a/b/file.txt", "x");
  TestFs::makeFile(dir / "tree/top.txt", "y");
  for (std::string const& path : {dir / "tree/a/b/file.txt", dir / "tree/top.txt"}) chmod(path.c_str(), 0444);
  for (std::string const& path : {dir / "tree/a/b", dir / "tree/a", dir / "tree"}) chmod(path.c_str(), 0555);

  uid_t const owner = geteuid() == 0 ? 65534 : geteuid();
  gid_t const group = geteuid() == 0 ? 65534 : getegid();
  if (geteuid() == 0) {
    for (std::string const& path : {dir.path(), dir / "tree", dir / "tree/a", dir / "tree/a/b",
                                    dir / "tree/a/b/file.txt", dir / "tree/top.txt"}) {
      ASSERT_EQ(lchown(path.c_str(), owner, group), 0) << path;
    }
  }

  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(owner) != 0)) _exit(10);
    // Without help from removeAll the bits do block this user.
    if (unlink((dir / "tree/top.txt").c_str()) == 0 || errno != EACCES) _exit(11);
    _exit(FS::removeAll(dir / "tree") ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot drop privileges, 11: bits do not block, 12: removal failed";
  EXPECT_FALSE(TestFs::exists(dir / "tree"));
}
