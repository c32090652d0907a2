#include "fs/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/heartbeat.h"
#include "fs/path.h"
#include "fs/retry.h"
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
    FS::Status const listed = FS::list(out, path, false, {});
    EXPECT_FALSE(listed);
    // The clean-up tells "nothing there" from "cannot be read" by this.
    EXPECT_TRUE(listed.notFound()) << listed.error;
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
  for (std::string const& path : {std::string(), dir / "file", dir / "file/below", dir / "x" + std::string(1, '\0')}) {
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

// A NUL would cut the path short at the system call: here, at the temp dir itself.
TEST(FsRemoveAll, InvalidPathFailsWithoutTouchingAnything) {
  TempDir dir;
  EXPECT_FALSE(FS::removeAll(""));
  EXPECT_FALSE(FS::removeAll(dir.path() + std::string(1, '\0') + "x"));
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
  std::string const removal = TestFs::whyLinksAreNotTakenAsThemselves();
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
  for (std::string const& path : {dir / "missing/out.bin", dir / "adir", std::string()}) {
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

// ---- Examining and renaming ----

TEST(FsExamine, TellsWhatStandsAtThePathWithoutFollowingALink) {
  TempDir dir;
  TestFs::makeFile(dir / "file", "x");
  TestFs::makeDirs(dir / "dir");
  std::string const linkWhy = TestFs::makeDirLink(dir / "dir", dir / "link");
  struct Case {
    std::string path;
    FS::EntryType type;
  };
  std::vector<Case> cases = {{dir / "file", EntryType::File}, {dir / "dir", EntryType::Directory}};
  if (linkWhy.empty()) cases.push_back({dir / "link", EntryType::Link});
  for (Case const& c : cases) {
    SCOPED_TRACE(c.path);
    EntryType type = EntryType::Other;
    EXPECT_TRUE(FS::examine(c.path, type));
    EXPECT_EQ(type, c.type);
  }
  for (std::string const& path : {dir / "missing", dir / "missing/deeper", dir / "file/below"}) {
    SCOPED_TRACE(path);
    EntryType type = EntryType::Other;
    FS::Status const looked = FS::examine(path, type);
    EXPECT_FALSE(looked);
    EXPECT_TRUE(looked.notFound()) << looked.error;
    EXPECT_EQ(type, EntryType::Other);
  }
}

TEST(FsRenameWithin, MovesATreeWholeInOneStepAndNeverReplaces) {
  TempDir dir;
  TestFs::makeDirs(dir / "tree/sub");
  TestFs::makeFile(dir / "tree/sub/f.txt", "f");
  TestFs::makeDirs(dir / "taken");  // an empty directory, which rename(2) would replace
  TestFs::makeFile(dir / "file", "x");

  EXPECT_TRUE(FS::renameWithin(dir / "tree", "moved"));
  EXPECT_FALSE(TestFs::exists(dir / "tree"));
  EXPECT_EQ(TestFs::readFile(dir / "moved/sub/f.txt"), "f");

  for (std::string const& name : {std::string("taken"), std::string("file")}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(FS::renameWithin(dir / "moved", name));
    EXPECT_EQ(TestFs::readFile(dir / "moved/sub/f.txt"), "f");
  }
  EXPECT_TRUE(TestFs::namesInOrder(dir / "taken").empty());
  EXPECT_EQ(TestFs::readFile(dir / "file"), "x");

  // Only a bare name is taken, so nothing ever moves out of its directory.
  for (std::string const& name : {std::string("a/b"), std::string(".."), std::string()}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(FS::renameWithin(dir / "moved", name));
  }
  FS::Status const missing = FS::renameWithin(dir / "missing", "other");
  EXPECT_FALSE(missing);
  EXPECT_TRUE(missing.notFound()) << missing.error;
  EXPECT_EQ(TestFs::readFile(dir / "moved/sub/f.txt"), "f");
}

TEST(FsRenameWithin, ALinkMovesAsItself) {
  TempDir dir;
  TestFs::makeDirs(dir / "target");
  TestFs::makeFile(dir / "target/kept.txt", "kept");
  std::string const why = TestFs::makeDirLink(dir / "target", dir / "link");
  if (!why.empty()) GTEST_SKIP() << why;
  std::string const notItself = TestFs::whyLinksAreNotTakenAsThemselves();
  if (!notItself.empty()) GTEST_SKIP() << notItself;
  EXPECT_TRUE(FS::renameWithin(dir / "link", "moved-link"));
  EntryType type = EntryType::Other;
  EXPECT_TRUE(FS::examine(dir / "moved-link", type));
  EXPECT_EQ(type, EntryType::Link);
  EXPECT_EQ(TestFs::readFile(dir / "target/kept.txt"), "kept");
}

// ---- Waiting out a file held for a moment (the Windows build's policy) ----

TEST(FsRetry, OnlySharingAndAccessErrorsAreWaitedOutAndBriefly) {
  using std::chrono::milliseconds;
  struct Case {
    std::vector<int> answers;  // what the operation answers, attempt after attempt
    int attempts;
    int error;
    std::vector<milliseconds> pauses;
  };
  Case const cases[] = {
      {{0}, 1, 0, {}},
      {{32, 0}, 2, 0, {milliseconds(10)}},
      {{5, 145, 32, 0}, 4, 0, {milliseconds(10), milliseconds(20), milliseconds(40)}},
      {{32, 32, 32, 32, 32, 32, 32, 32},
       6,
       32,
       {milliseconds(10), milliseconds(20), milliseconds(40), milliseconds(80), milliseconds(160)}},
      {{2, 0}, 1, 2, {}},      // not found
      {{3, 0}, 1, 3, {}},      // path not found
      {{183, 0}, 1, 183, {}},  // already exists
      {{19, 0}, 1, 19, {}},    // write protected
      {{32, 80}, 2, 80, {milliseconds(10)}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.answers));
    std::vector<milliseconds> pauses;
    FS::detail::ScopedRetrySleep sleep([&pauses](milliseconds pause) { pauses.push_back(pause); });
    int made = 0;
    FS::Status const outcome = FS::detail::retryWhileTransient([&] { return FS::Status{c.answers[made++]}; });
    EXPECT_EQ(made, c.attempts);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(pauses, c.pauses);
    milliseconds total{0};
    for (milliseconds const pause : pauses) total += pause;
    EXPECT_LT(total, milliseconds(500));
  }
}

TEST(FsRetry, TheReplacedSleepComesBackAtTheEndOfItsScope) {
  int outer = 0;
  int inner = 0;
  auto const failTwice = [] {
    int made = 0;
    return FS::detail::retryWhileTransient([made]() mutable { return FS::Status{made++ < 2 ? 32 : 0}; });
  };
  FS::detail::ScopedRetrySleep first([&outer](std::chrono::milliseconds) { ++outer; });
  {
    FS::detail::ScopedRetrySleep second([&inner](std::chrono::milliseconds) { ++inner; });
    EXPECT_TRUE(failTwice());
  }
  EXPECT_TRUE(failTwice());
  EXPECT_EQ(inner, 2);
  EXPECT_EQ(outer, 2);
}
