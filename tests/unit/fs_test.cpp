#include "fs/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/heartbeat.h"
#include "fs/path.h"
#include "fs_fixture.h"

using FS::Entry;
using FS::EntryType;
using TestFs::TempDir;

namespace {

std::vector<uint8_t> bytesOf(std::string const& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<std::string> namesOf(std::vector<Entry> const& entries) {
  std::vector<std::string> names;
  for (Entry const& entry : entries) names.push_back(entry.name);
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

Entry const* findByName(std::vector<Entry> const& entries, std::string const& name) {
  for (Entry const& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

size_t indexOfPath(std::vector<Entry> const& entries, std::string const& path) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].path == path) return i;
  }
  return entries.size();
}

bool isFile(Entry const& entry) { return entry.type == EntryType::File; }

std::string const kInvalidUtf8 = "\xC3";

}  // namespace

// ---- Listing ----

TEST(FsList, EmptyDirectoryYieldsNothingAndSucceeds) {
  TempDir dir;
  std::vector<Entry> out;
  EXPECT_TRUE(FS::list(out, dir.path(), true, {}));
  EXPECT_TRUE(out.empty());
}

TEST(FsList, UnlistablePathsFailAndAppendNothing) {
  TempDir dir;
  TestFs::makeFile(dir / "file.txt", "x");
  Entry const sentinel{"p", "n", EntryType::File, 1};
  for (std::string const& path : {dir / "missing", dir / "missing/deeper", dir / "file.txt",
                                  dir.path() + kInvalidUtf8}) {
    SCOPED_TRACE(path);
    std::vector<Entry> out{sentinel};
    EXPECT_FALSE(FS::list(out, path, false, {}));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].path, "p");
  }
}

TEST(FsList, ClassifiesEntriesWithJoinedPathsAndNoDotNames) {
  TempDir dir;
  TestFs::makeFile(dir / "five.bin", "12345");
  TestFs::makeFile(dir / "empty.txt", "");
  TestFs::makeDirs(dir / "sub/inner");
  std::vector<Entry> out;
  ASSERT_TRUE(FS::list(out, dir.path(), false, {}));
  EXPECT_EQ(sorted(namesOf(out)), (std::vector<std::string>{"empty.txt", "five.bin", "sub"}));

  struct Expected {
    std::string name;
    EntryType type;
    uint64_t size;
  };
  for (Expected const& want : {Expected{"five.bin", EntryType::File, 5}, Expected{"empty.txt", EntryType::File, 0},
                               Expected{"sub", EntryType::Directory, 0}}) {
    SCOPED_TRACE(want.name);
    Entry const* entry = findByName(out, want.name);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->type, want.type);
    EXPECT_EQ(entry->size, want.size);
    EXPECT_EQ(entry->path, FS::join(dir.path(), want.name));
  }
}

TEST(FsList, LinkToDirectoryIsListedAsLinkAndNeverEntered) {
  TempDir dir;
  TestFs::makeDirs(dir / "real/deep");
  TestFs::makeFile(dir / "real/deep/inside.txt", "abc");
  TestFs::makeDirs(dir / "top");
  std::string const why = TestFs::makeDirLink(dir / "real", dir / "top/link");
  if (!why.empty()) GTEST_SKIP() << why;

  std::vector<Entry> flat;
  ASSERT_TRUE(FS::list(flat, dir / "top", false, {}));
  ASSERT_EQ(flat.size(), 1u);
  EXPECT_EQ(flat[0].name, "link");
  EXPECT_EQ(flat[0].type, EntryType::Link);
  EXPECT_EQ(flat[0].size, 0u);
  EXPECT_EQ(flat[0].path, dir / "top/link");

  std::vector<Entry> deep;
  ASSERT_TRUE(FS::list(deep, dir / "top", true, {}));
  EXPECT_EQ(namesOf(deep), std::vector<std::string>{"link"});
}

TEST(FsList, RecursionDescendsThroughRejectedDirectoriesDepthFirst) {
  TempDir dir;
  TestFs::makeFile(dir / "a.txt", "1");
  TestFs::makeDirs(dir / "d1/d2/d3");
  TestFs::makeFile(dir / "d1/b.txt", "22");
  TestFs::makeFile(dir / "d1/d2/d3/c.txt", "333");
  TestFs::makeDirs(dir / "empty");
  std::string const linkWhy = TestFs::makeDirLink(dir / "d1", dir / "via-link");

  std::vector<Entry> files;
  ASSERT_TRUE(FS::list(files, dir.path(), true, isFile));
  EXPECT_EQ(sorted(namesOf(files)), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  Entry const* deepest = findByName(files, "c.txt");
  ASSERT_NE(deepest, nullptr);
  EXPECT_EQ(deepest->path, dir / "d1/d2/d3/c.txt");
  EXPECT_EQ(deepest->size, 3u);

  // Every directory comes before what it holds; nothing appears twice (the link is not
  // followed into d1 again).
  std::vector<Entry> all;
  ASSERT_TRUE(FS::list(all, dir.path(), true, {}));
  std::vector<std::string> paths;
  for (Entry const& entry : all) paths.push_back(entry.path);
  std::vector<std::string> unique = sorted(paths);
  EXPECT_EQ(std::unique(unique.begin(), unique.end()), unique.end());
  EXPECT_EQ(all.size(), linkWhy.empty() ? 8u : 7u);
  std::map<std::string, std::string> parentOf = {
      {dir / "d1/b.txt", dir / "d1"},       {dir / "d1/d2", dir / "d1"},
      {dir / "d1/d2/d3", dir / "d1/d2"},    {dir / "d1/d2/d3/c.txt", dir / "d1/d2/d3"},
  };
  for (auto const& [child, parent] : parentOf) {
    SCOPED_TRACE(child);
    EXPECT_LT(indexOfPath(all, parent), indexOfPath(all, child));
  }
  // A subtree is finished before the next sibling of its directory starts.
  size_t const d1 = indexOfPath(all, dir / "d1");
  size_t const c = indexOfPath(all, dir / "d1/d2/d3/c.txt");
  for (std::string const& sibling : {dir / "a.txt", dir / "empty"}) {
    size_t const at = indexOfPath(all, sibling);
    EXPECT_TRUE(at < d1 || at > c) << sibling;
  }
}

TEST(FsList, PredicateSeesEveryEntryAndAppendsAfterExistingOnes) {
  TempDir dir;
  TestFs::makeDirs(dir / "keep/skip");
  TestFs::makeFile(dir / "keep/skip/x.txt", "x");
  Entry const first{"already", "already", EntryType::Other, 0};
  std::vector<Entry> out{first};
  std::vector<std::string> seen;
  ASSERT_TRUE(FS::list(out, dir.path(), true, [&](Entry const& entry) {
    seen.push_back(entry.name);
    return entry.name != "skip";
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"keep", "skip", "x.txt"}));
  EXPECT_EQ(namesOf(out), (std::vector<std::string>{"already", "keep", "x.txt"}));
}

TEST(FsList, NonAsciiNamesComeBackAsUtf8) {
  TempDir dir;
  std::string const name = "r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC";  // "résumé €"
  TestFs::makeDirs(dir / name);
  TestFs::makeFile(dir / (name + "/f\xC3\xBC.txt"), "abcd");
  std::vector<Entry> out;
  ASSERT_TRUE(FS::list(out, dir.path(), true, {}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, name);
  EXPECT_EQ(out[1].path, FS::join(dir / name, "f\xC3\xBC.txt"));
  EXPECT_EQ(out[1].size, 4u);
}

// ---- Creating directories ----

TEST(FsCreateDirectories, CreatesMissingParentsAndAcceptsExisting) {
  TempDir dir;
  std::string const sep(1, FS::preferredSeparator());
  for (std::string const& path : {dir / "a/b/c", dir / "a/b/c", dir / "x/y" + sep, dir / "m//n", dir / "a/b/c/d"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(FS::createDirectories(path));
    EXPECT_TRUE(TestFs::isDirectory(path));
  }
}

TEST(FsCreateDirectories, RefusesWhatCannotBecomeADirectory) {
  TempDir dir;
  TestFs::makeFile(dir / "file", "data");
  for (std::string const& path : {std::string(), dir / "file", dir / "file/below", dir / "bad" + kInvalidUtf8}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(FS::createDirectories(path));
  }
  EXPECT_EQ(TestFs::readFile(dir / "file"), "data");
  EXPECT_EQ(TestFs::namesInOrder(dir.path()), std::vector<std::string>{"file"});
}

TEST(FsCreateDirectories, LinkAtThePathIsNotTakenForADirectoryItMakes) {
  TempDir dir;
  TestFs::makeDirs(dir / "real");
  std::string const why = TestFs::makeDirLink(dir / "real", dir / "link");
  if (!why.empty()) GTEST_SKIP() << why;
  // Whatever the answer for the link itself, nothing is created inside its target.
  FS::createDirectories(dir / "link");
  EXPECT_TRUE(TestFs::namesInOrder(dir / "real").empty());
}

// ---- Removing ----

TEST(FsRemoveAll, NothingThereCountsAsRemoved) {
  TempDir dir;
  TestFs::makeFile(dir / "file", "x");
  for (std::string const& path : {dir / "missing", dir / "missing/deeper", dir / "file/below"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(FS::removeAll(path));
  }
  EXPECT_TRUE(TestFs::exists(dir / "file"));
}

TEST(FsRemoveAll, InvalidPathFailsWithoutTouchingAnything) {
  TempDir dir;
  EXPECT_FALSE(FS::removeAll(""));
  EXPECT_FALSE(FS::removeAll(dir.path() + kInvalidUtf8));
  EXPECT_TRUE(TestFs::isDirectory(dir.path()));
}

TEST(FsRemoveAll, RemovesFilesAndTreesReadOnlyOnesIncluded) {
  TempDir dir;
  TestFs::makeFile(dir / "plain.txt", "p");
  TestFs::makeFile(dir / "locked.txt", "l");
  TestFs::makeReadOnly(dir / "locked.txt");
  TestFs::makeDirs(dir / "tree/a/b");
  TestFs::makeDirs(dir / "tree/empty");
  TestFs::makeFile(dir / "tree/top.txt", "t");
  TestFs::makeFile(dir / "tree/a/b/deep.txt", "d");
  TestFs::makeReadOnly(dir / "tree/top.txt");
  TestFs::makeReadOnly(dir / "tree/a/b/deep.txt");
  TestFs::makeDirs(dir / "keep");

  for (std::string const& path : {dir / "plain.txt", dir / "locked.txt", dir / "tree"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(FS::removeAll(path));
    EXPECT_FALSE(TestFs::exists(path));
  }
  EXPECT_EQ(TestFs::namesInOrder(dir.path()), std::vector<std::string>{"keep"});
}

TEST(FsRemoveAll, LinkIsRemovedAsItselfAndItsTargetStays) {
  TempDir dir;
  TestFs::makeDirs(dir / "target/sub");
  TestFs::makeFile(dir / "target/sub/kept.txt", "kept");
  TestFs::makeDirs(dir / "tree");
  std::string const why = TestFs::makeDirLink(dir / "target", dir / "tree/link");
  if (!why.empty()) GTEST_SKIP() << why;
  std::string const removal = TestFs::whyLinksCannotBeRemoved();
  if (!removal.empty()) GTEST_SKIP() << removal;

  EXPECT_TRUE(FS::removeAll(dir / "tree/link"));
  EXPECT_FALSE(TestFs::exists(dir / "tree/link"));
  EXPECT_EQ(TestFs::readFile(dir / "target/sub/kept.txt"), "kept");

  ASSERT_EQ(TestFs::makeDirLink(dir / "target", dir / "tree/link"), "");
  EXPECT_TRUE(FS::removeAll(dir / "tree"));
  EXPECT_FALSE(TestFs::exists(dir / "tree"));
  EXPECT_EQ(TestFs::readFile(dir / "target/sub/kept.txt"), "kept");
}

TEST(FsRemoveAll, StopsAtAChildThatCannotBeDeletedAndKeepsIt) {
  TempDir dir;
  TestFs::makeDirs(dir / "tree/inner");
  TestFs::makeFile(dir / "tree/inner/held.txt", "held");
  TestFs::Undeletable held(dir / "tree/inner/held.txt");
  if (!held.unavailable().empty()) GTEST_SKIP() << held.unavailable();

  EXPECT_FALSE(FS::removeAll(dir / "tree"));
  EXPECT_FALSE(FS::removeAll(dir / "tree/inner/held.txt"));
  EXPECT_TRUE(TestFs::isDirectory(dir / "tree/inner"));
  held.release();
  EXPECT_EQ(TestFs::readFile(dir / "tree/inner/held.txt"), "held");
  EXPECT_TRUE(FS::removeAll(dir / "tree"));
  EXPECT_FALSE(TestFs::exists(dir / "tree"));
}

// ---- Writing ----

TEST(FsWriteFile, CreatesReplacesAndTruncates) {
  TempDir dir;
  std::string const path = dir / "out.bin";
  std::string binary("a\0b\r\n\xFF", 6);
  for (std::string const& content : {std::string("first, longer content"), std::string("short"), binary,
                                     std::string()}) {
    SCOPED_TRACE(content.size());
    EXPECT_TRUE(FS::writeFile(path, bytesOf(content)));
    EXPECT_EQ(TestFs::readFile(path), content);
  }
}

// Written in pieces with the window served between them: at least one beat for every
// 2 MiB, so no piece holds the window up for long on a slow disk.
TEST(FsWriteFile, WritesAFewMegabytesWholeBeatingBetweenPieces) {
  TempDir dir;
  std::string content(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 % 251);
  size_t beats = 0;
  {
    Heartbeat::Scope counting([&] { ++beats; }, std::chrono::seconds(0));
    ASSERT_TRUE(FS::writeFile(dir / "big.bin", bytesOf(content)));
  }
  EXPECT_TRUE(TestFs::readFile(dir / "big.bin") == content);
  EXPECT_GE(beats, content.size() / (2 * 1024 * 1024));
}

TEST(FsWriteFile, FailsWithoutCreatingAnything) {
  TempDir dir;
  TestFs::makeDirs(dir / "adir");
  for (std::string const& path : {dir / "missing/out.bin", dir / "adir", dir.path() + kInvalidUtf8, std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(FS::writeFile(path, bytesOf("data")));
  }
  EXPECT_FALSE(TestFs::exists(dir / "missing"));
  EXPECT_TRUE(TestFs::isDirectory(dir / "adir"));
}

TEST(FsWriteFile, FileThatCannotBeOpenedForWritingIsLeftAsItWas) {
  TempDir dir;
  TestFs::makeFile(dir / "held.txt", "original");
  TestFs::Undeletable held(dir / "held.txt");
  if (!held.unavailable().empty()) GTEST_SKIP() << held.unavailable();
  EXPECT_FALSE(FS::writeFile(dir / "held.txt", bytesOf("new")));
  held.release();
  EXPECT_EQ(TestFs::readFile(dir / "held.txt"), "original");
}
