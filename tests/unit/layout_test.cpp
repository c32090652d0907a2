#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "base/log.h"
#include "child_tools.h"
#include "env/environment.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "fs/retry.h"
#include "fs_fixture.h"
#include "install/layout.h"
#include "install/layout_discard.h"
#include "support/lines.h"

using TestFs::TempDir;
using TestSupport::splitLines;

namespace {

std::vector<std::string> nameLines(std::string const& upper, std::string const& mixed, std::string const& modern) {
  return {
      "FS legacy baseNameUpper: " + upper,      "FS legacy baseNameUpperOld: " + upper + ".old",
      "FS legacy baseNameUpperNew: " + upper + ".new", "FS legacy baseNameMixed: " + mixed,
      "FS legacy baseNameMixedOld: " + mixed + ".old", "FS legacy baseNameMixedNew: " + mixed + ".new",
      "FS modern baseName: " + modern,          "FS modern baseNameOld: " + modern + ".old",
      "FS modern baseNameNew: " + modern + ".new",
  };
}

// The names of the directory that are in wanted, in the order the system lists them.
std::vector<std::string> inListingOrder(std::string const& directory, std::set<std::string> const& wanted) {
  std::vector<std::string> names = TestFs::namesInOrder(directory);
  names.erase(std::remove_if(names.begin(), names.end(), [&](std::string const& n) { return !wanted.count(n); }),
              names.end());
  return names;
}

void append(std::vector<std::string>& to, std::vector<std::string> const& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class CleaningBeforeDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    env.edition = QUENZA_BO;
    env.channel = PROD;
    env.otaHost = "ota-prod.localhost";
    appsRoot = tmp / "profile/.QuenzaQtApps";
  }

  Step clean() { return Layout::cleanBeforeDownload(appsRoot, env, locations); }

  std::string root(std::string const& relative) const { return FS::join(appsRoot, relative); }

  std::string installDir() const { return root("https__ota-prod.localhost/QUENZA_BO"); }
  std::string installDirNew() const { return root("https__ota-prod.localhost/QUENZA_BO.new"); }

  // A directory tree standing for an install, with one file in it.
  void makeInstall(std::string const& relative) {
    TestFs::makeDirs(root(relative) + "/bin");
    TestFs::makeFile(root(relative) + "/bin/app.exe", relative);
  }

  TempDir tmp;
  std::string appsRoot;
  EnvironmentValues env;
  Layout::InstallLocations locations;
  std::string out;
  std::string err;
  Log::Capture capture{out, err};
};

}  // namespace

TEST_F(CleaningBeforeDownload, FirstRunCreatesTheRootAndBothInstallDirs) {
  Step const step = clean();

  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  expected.push_back("New install dir: " + installDir());
  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "");
  EXPECT_EQ(step, Step::Done);
  EXPECT_EQ(locations.installDir, installDir());
  EXPECT_EQ(locations.installDirNew, installDirNew());
  EXPECT_EQ(TestFs::namesInOrder(appsRoot), std::vector<std::string>{"https__ota-prod.localhost"});
  std::vector<std::string> made = TestFs::namesInOrder(root("https__ota-prod.localhost"));
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"QUENZA_BO", "QUENZA_BO.new"}));
  EXPECT_TRUE(TestFs::namesInOrder(installDir()).empty());
  EXPECT_TRUE(TestFs::namesInOrder(installDirNew()).empty());
}

TEST_F(CleaningBeforeDownload, NamesFollowEditionAndChannel) {
  struct Case {
    AppSlug edition;
    EnvChannel channel;
    std::string upper, mixed, modern;
  };
  Case const cases[] = {
      {QUENZA_PMS, PROD, "QUENZA_PMS_PROD", "QuenzaPMS_PROD", "QUENZA_PMS"},
      {QUENZA_MAN, DEMO, "QUENZA_MAN_DEMO", "QuenzaMAN_DEMO", "QUENZA_MAN"},
      {QUENZA_APP, DEV, "QUENZA_APP_DEV", "QuenzaAPP_DEV", "QUENZA_APP"},
      {QUENZA_BO, DEV, "QUENZA_BO_DEV", "QuenzaBO_DEV", "QUENZA_BO"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.upper);
    out.clear();
    env.edition = c.edition;
    env.channel = c.channel;
    env.otaHost = "ota.example";
    Step const step = clean();
    std::vector<std::string> lines = splitLines(out);
    ASSERT_GE(lines.size(), 9u);
    lines.resize(9);
    EXPECT_EQ(lines, nameLines(c.upper, c.mixed, c.modern));
    EXPECT_EQ(locations.installDir, root("https__ota.example/" + c.modern));
    EXPECT_EQ(locations.installDirNew, root("https__ota.example/" + c.modern + ".new"));
  }
}

TEST_F(CleaningBeforeDownload, RemovesOnlyThisEditionAndChannelInListingOrder) {
  // Matches: two legacy layouts, and the edition's directories in the plain, the secure
  // and a suffixed secure environment directory of this channel's host.
  for (std::string const& path : {"QUENZA_BO_PROD", "QuenzaBO_PROD.new", "https__ota-prod.localhost/QUENZA_BO",
                                  "https__ota-prod.localhost/QUENZA_BO.old", "http__ota-prod.localhost/QUENZA_BO",
                                  "https__ota-prod.localhost-eu/QUENZA_BO.new"}) {
    makeInstall(path);
  }
  // Look-alikes that stay: other channel, other edition, other suffix, other host, files
  // carrying matching names. (Names differing only in case have their own test, as some
  // file systems cannot hold both.)
  std::vector<std::string> const survivors = {
      "QUENZA_BO_DEMO",
      "QUENZA_BO_PROD.bak",
      "QUENZA_BO",
      "https__ota-prod.localhost/QUENZA_PMS",
      "https__ota-prod.localhost/QUENZA_BO.bak",
      "https__ota-demo.localhost/QUENZA_BO",
      "ota-prod.localhost/QUENZA_BO",
  };
  for (std::string const& path : survivors) makeInstall(path);
  TestFs::makeFile(root("QUENZA_BO_PROD.old"), "a file");
  TestFs::makeFile(root("https__ota-prod.localhost.txt"), "a file");
  TestFs::makeFile(root("http__ota-prod.localhost/QUENZA_BO.old"), "a file");
  TestFs::makeDirs(tmp / "elsewhere");
  TestFs::makeFile(tmp / "elsewhere/precious.txt", "precious");
  std::string const linkWhy =
      TestFs::makeDirLink(tmp / "elsewhere", root("http__ota-prod.localhost/QUENZA_BO.new"));

  // The order the launcher will see, read before it changes anything.
  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  std::vector<std::string> removals;
  for (std::string const& name : inListingOrder(appsRoot, {"QUENZA_BO_PROD", "QuenzaBO_PROD.new"})) {
    removals.push_back(root(name));
  }
  std::map<std::string, std::set<std::string>> const conflictsIn = {
      {"https__ota-prod.localhost", {"QUENZA_BO", "QUENZA_BO.old"}},
      {"http__ota-prod.localhost", {"QUENZA_BO"}},
      {"https__ota-prod.localhost-eu", {"QUENZA_BO.new"}},
  };
  std::set<std::string> envNames;
  for (auto const& [name, conflicts] : conflictsIn) envNames.insert(name);
  for (std::string const& envName : inListingOrder(appsRoot, envNames)) {
    expected.push_back("FS env dir found:  path=" + root(envName));
    for (std::string const& name : inListingOrder(root(envName), conflictsIn.at(envName))) {
      expected.push_back("FS conflicting install dir found : path=" + FS::join(root(envName), name));
      removals.push_back(FS::join(root(envName), name));
    }
  }
  ASSERT_EQ(removals.size(), 6u);
  expected.push_back("New install dir: " + installDir());
  for (std::string const& path : removals) expected.push_back("FS deleting conflicting install dir :" + path);

  Step const step = clean();

  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "");
  EXPECT_EQ(step, Step::Done);
  for (std::string const& path : survivors) {
    EXPECT_EQ(TestFs::readFile(root(path) + "/bin/app.exe"), path);
  }
  for (std::string const& file :
       {"QUENZA_BO_PROD.old", "https__ota-prod.localhost.txt", "http__ota-prod.localhost/QUENZA_BO.old"}) {
    EXPECT_EQ(TestFs::readFile(root(file)), "a file") << file;
  }
  if (linkWhy.empty()) EXPECT_TRUE(TestFs::exists(root("http__ota-prod.localhost/QUENZA_BO.new")));
  EXPECT_EQ(TestFs::readFile(tmp / "elsewhere/precious.txt"), "precious");
  for (std::string const& gone : {"QUENZA_BO_PROD", "QuenzaBO_PROD.new", "https__ota-prod.localhost/QUENZA_BO.old",
                                  "http__ota-prod.localhost/QUENZA_BO", "https__ota-prod.localhost-eu/QUENZA_BO.new"}) {
    EXPECT_FALSE(TestFs::exists(root(gone))) << gone;
  }
  // The current install was removed and made again, empty.
  EXPECT_TRUE(TestFs::namesInOrder(installDir()).empty());
  EXPECT_TRUE(TestFs::namesInOrder(installDirNew()).empty());
}

TEST_F(CleaningBeforeDownload, NamesDifferingOnlyInCaseAreLeftAlone) {
  std::vector<std::string> const lookAlikes = {
      "quenza_bo_prod",
      "QuenzaBo_PROD.NEW",
      "HTTP__ota-prod.localhost/QUENZA_BO",
      "https__ota-prod.localhost/quenza_bo.old",
  };
  for (std::string const& path : lookAlikes) makeInstall(path);

  Step const step = clean();

  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  append(expected, {"FS env dir found:  path=" + root("https__ota-prod.localhost"), "New install dir: " + installDir()});
  EXPECT_EQ(splitLines(out), expected);
  for (std::string const& path : lookAlikes) {
    EXPECT_EQ(TestFs::readFile(root(path) + "/bin/app.exe"), path);
  }
}

// A directory is moved aside before anything in it is deleted; one that cannot be moved
// (on Windows: an application still runs from it) keeps every file.
TEST_F(CleaningBeforeDownload, FirstFailedRemovalStopsEverything) {
  makeInstall("QUENZA_BO_PROD");
  makeInstall("https__ota-prod.localhost/QUENZA_BO.old");
  TestFs::Undeletable held(root("QUENZA_BO_PROD"));
  if (!held.unavailable().empty()) GTEST_SKIP() << held.unavailable();
  FS::detail::ScopedRetrySleep noPause([](std::chrono::milliseconds) {});

  Step const step = clean();
  held.release();

  std::vector<std::string> const lines = splitLines(out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "New install dir: " + installDir());
  EXPECT_EQ(lines.back(), "FS deleting conflicting install dir :" + root("QUENZA_BO_PROD"));
  EXPECT_EQ(err, "FS couldn't remove conflicting install dir: " + root("QUENZA_BO_PROD") + "\n");
  EXPECT_EQ(step, Step::Failed);
  EXPECT_EQ(TestFs::readFile(root("QUENZA_BO_PROD/bin/app.exe")), "QUENZA_BO_PROD");
  EXPECT_EQ(TestFs::readFile(root("https__ota-prod.localhost/QUENZA_BO.old/bin/app.exe")),
            "https__ota-prod.localhost/QUENZA_BO.old");
  EXPECT_FALSE(TestFs::exists(installDir()));
  EXPECT_FALSE(TestFs::exists(installDirNew()));
  EXPECT_EQ(TestFs::namesInOrder(appsRoot).size(), 2u);  // nothing moved aside
}

// Once moved aside, a tree that cannot be deleted no longer stands in the way: the run
// goes on, and a later run of the same edition and channel deletes the leftover. Only
// leftovers of this edition and channel are touched (another launcher may be deleting
// its own right now), but whatever carries their prefix, each as itself: names planted
// there never take the numbers away, and one that cannot be removed is stepped over.
TEST_F(CleaningBeforeDownload, WhatCannotBeDeletedAfterTheMoveIsLeftForALaterRun) {
  makeInstall("QUENZA_BO_PROD");
  makeInstall("https__ota-prod.localhost/QUENZA_BO");
  std::vector<std::string> const others = {
      "https__ota-prod.localhost/.QUENZA_PMS_PROD.discarded-1",
      ".QUENZA_BO_DEMO.discarded-1",
  };
  for (std::string const& path : others) makeInstall(path);
  std::vector<std::string> const planted = {".QUENZA_BO_PROD.discarded-x",
                                            "https__ota-prod.localhost/.QUENZA_BO_PROD.discarded-"};
  for (std::string const& path : planted) makeInstall(path);
  TestFs::makeFile(root(".QUENZA_BO_PROD.discarded-5"), "a file");
  TestFs::makeFile(root("https__ota-prod.localhost/.QUENZA_BO_PROD.discarded-1"), "held");
  TestFs::makeFile(root(".QUENZA_BO_PROD.lock"), "");
  TestFs::makeDirs(tmp / "elsewhere");
  TestFs::makeFile(tmp / "elsewhere/precious.txt", "precious");
  std::string const linkWhy = TestFs::makeDirLink(tmp / "elsewhere", root(".QUENZA_BO_PROD.discarded-7"));
  std::string const leftover = root("https__ota-prod.localhost/.QUENZA_BO_PROD.discarded-2");
  {
    TestFs::Undeletable held(root("https__ota-prod.localhost/QUENZA_BO/bin/app.exe"));
    TestFs::Undeletable heldName(root("https__ota-prod.localhost/.QUENZA_BO_PROD.discarded-1"));
    if (!held.unavailable().empty()) GTEST_SKIP() << held.unavailable();
    FS::detail::ScopedRetrySleep noPause([](std::chrono::milliseconds) {});
    Step const step = clean();

    EXPECT_EQ(err, "");
    EXPECT_EQ(step, Step::Done);
    EXPECT_TRUE(TestFs::namesInOrder(installDir()).empty());
    EXPECT_TRUE(TestFs::namesInOrder(installDirNew()).empty());
    EXPECT_TRUE(TestFs::exists(leftover + "/bin/app.exe"));  // held: not even readable on Windows
    EXPECT_FALSE(TestFs::exists(root("QUENZA_BO_PROD")));
    EXPECT_FALSE(TestFs::exists(root(".QUENZA_BO_PROD.discarded-1")));
    for (std::string const& path : planted) EXPECT_FALSE(TestFs::exists(root(path))) << path;
    EXPECT_FALSE(TestFs::exists(root(".QUENZA_BO_PROD.discarded-5")));
    if (linkWhy.empty() && TestFs::whyLinksAreNotTakenAsThemselves().empty()) {
      EXPECT_FALSE(TestFs::exists(root(".QUENZA_BO_PROD.discarded-7")));
    }
  }
  // The run's log is that of any run that removed two directories.
  std::vector<std::string> lines = splitLines(out);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](std::string const& line) { return line.rfind("FS deleting conflicting", 0) == 0; }),
            2);

  Step const step = clean();
  EXPECT_EQ(step, Step::Done);
  EXPECT_FALSE(TestFs::exists(leftover));
  EXPECT_FALSE(TestFs::exists(root("https__ota-prod.localhost/.QUENZA_BO_PROD.discarded-1")));
  for (std::string const& path : others) EXPECT_EQ(TestFs::readFile(root(path) + "/bin/app.exe"), path);
  EXPECT_TRUE(TestFs::exists(root(".QUENZA_BO_PROD.lock")));
  EXPECT_EQ(TestFs::readFile(tmp / "elsewhere/precious.txt"), "precious");
}

// The move-aside takes the lowest number no entry carries, however many are planted, and
// a directory that vanished between its listing and its rename is already gone.
TEST(MoveAside, ChoosesTheFirstFreeNumberAndTakesAVanishedDirectoryForGone) {
  std::string const p = ".QUENZA_BO_PROD.discarded-";
  struct Case {
    std::vector<std::string> taken;
    std::string chosen;
  } const cases[] = {
      {{}, p + "1"},
      {{p + "1", p + "2", p + "4"}, p + "3"},
      {{p + "2", p + "01", p + "x", p, ".QUENZA_BO_DEMO.discarded-1", p + "1 "}, p + "1"},
      {{p + "99999999999999999999", p + "1"}, p + "2"},
  };
  for (Case const& c : cases) EXPECT_EQ(Discard::freeName(c.taken, p), c.chosen);
  std::vector<std::string> tenThousand;
  for (int n = 1; n <= 10000; ++n) tenThousand.push_back(p + std::to_string(n));
  EXPECT_EQ(Discard::freeName(tenThousand, p), p + "10001");

  TempDir tmp;
  EXPECT_TRUE(Discard::directory(tmp / "gone", p));
  EXPECT_TRUE(TestFs::namesInOrder(tmp.path()).empty());
}

// The listings never enter a link, so an environment directory reached through one
// hides the old install from them; the install directories are still made new, through
// the link, while whatever else lies behind it stays.
TEST_F(CleaningBeforeDownload, InstallDirsBehindALinkedEnvironmentDirAreMadeNew) {
  TestFs::makeDirs(tmp / "elsewhere/QUENZA_BO/bin");
  TestFs::makeFile(tmp / "elsewhere/QUENZA_BO/bin/old.exe", "old build");
  TestFs::makeDirs(tmp / "elsewhere/QUENZA_BO.new");
  TestFs::makeFile(tmp / "elsewhere/QUENZA_BO.new/stale.dat", "stale");
  TestFs::makeDirs(tmp / "elsewhere/QUENZA_PMS");
  TestFs::makeFile(tmp / "elsewhere/QUENZA_PMS/keep.txt", "other edition");
  TestFs::makeDirs(appsRoot);
  std::string const why = TestFs::makeDirLink(tmp / "elsewhere", root("https__ota-prod.localhost"));
  if (!why.empty()) GTEST_SKIP() << why;

  Step const step = clean();

  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  append(expected, {"New install dir: " + installDir(), "FS deleting conflicting install dir :" + installDir(),
                    "FS deleting conflicting install dir :" + installDirNew()});
  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(TestFs::namesInOrder(tmp / "elsewhere/QUENZA_BO").empty());
  EXPECT_TRUE(TestFs::namesInOrder(tmp / "elsewhere/QUENZA_BO.new").empty());
  EXPECT_EQ(TestFs::readFile(tmp / "elsewhere/QUENZA_PMS/keep.txt"), "other edition");
  FS::EntryType type = FS::EntryType::Other;
  EXPECT_TRUE(FS::examine(root("https__ota-prod.localhost"), type));
  EXPECT_EQ(type, FS::EntryType::Link);
}

// A link standing at an install directory's own place is never followed, whatever it
// points to.
TEST_F(CleaningBeforeDownload, ALinkAtAnInstallDirIsNeverFollowed) {
  for (bool const atNew : {false, true}) {
    SCOPED_TRACE(atNew ? "staging dir" : "install dir");
    TempDir scratch;
    appsRoot = scratch / ".QuenzaQtApps";
    TestFs::makeDirs(root("https__ota-prod.localhost"));
    TestFs::makeDirs(scratch / "target");
    TestFs::makeFile(scratch / "target/precious.txt", "precious");
    std::string const link = atNew ? installDirNew() : installDir();
    std::string const why = TestFs::makeDirLink(scratch / "target", link);
    if (!why.empty()) GTEST_SKIP() << why;
    out.clear();
    err.clear();

    Step const step = clean();

    EXPECT_EQ(err, "FS couldn't create install dir: " + link + "\n");
    EXPECT_EQ(step, Step::Failed);
    EXPECT_EQ(TestFs::namesInOrder(scratch / "target"), std::vector<std::string>{"precious.txt"});
    FS::EntryType type = FS::EntryType::Other;
    EXPECT_TRUE(FS::examine(link, type));
    EXPECT_EQ(type, FS::EntryType::Link);
  }
}

// A backslash is a byte of a name where names may hold one: names that would climb out
// of the tree on Windows are removed as themselves, inside the install, and a directory
// named like an environment directory followed by "\..\..\elsewhere" is a directory of
// the root like any other. Names that are not UTF-8 never hide an install either.
TEST_F(CleaningBeforeDownload, OddNamesNeverReachOutOfTheInstallsNorHideOne) {
  if (FS::nativePathStyle() == FS::PathStyle::Windows) GTEST_SKIP() << "names here hold neither";
  makeInstall("https__ota-prod.localhost/QUENZA_BO");
  TestFs::makeFile(root("https__ota-prod.localhost/QUENZA_BO/..\\..\\.."), "climbs on Windows");
  TestFs::makeDirs(root("https__ota-prod.localhost/QUENZA_BO/a\\b"));
  TestFs::makeFile(root("https__ota-prod.localhost/QUENZA_BO/a\\b/f"), "f");
  TestFs::makeDirs(root("https__ota-prod.localhost/caf\xE9"));
  std::string const odd = "https__ota-prod.localhost\\..\\..\\elsewhere";
  makeInstall(odd + "/QUENZA_BO.new");
  makeInstall(odd + "/keep");
  makeInstall("https__ota-prod.localhost\xE9/QUENZA_BO.old");
  TestFs::makeDirs(root("https__ota-prod.localhost\xE9/\xFF"));
  // Where the names would lead if a backslash separated.
  std::string const profile = FS::parentPath(appsRoot);
  TestFs::makeFile(profile + "/precious.txt", "precious");
  TestFs::makeDirs(profile + "/elsewhere/QUENZA_BO.new");
  TestFs::makeFile(profile + "/elsewhere/QUENZA_BO.new/precious.txt", "precious");

  Step const step = clean();

  EXPECT_EQ(err, "");
  EXPECT_EQ(step, Step::Done);
  std::vector<std::string> const lines = splitLines(out);
  for (std::string const& env : {root(odd), root("https__ota-prod.localhost\xE9")}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), "FS env dir found:  path=" + env), lines.end()) << env;
  }
  EXPECT_TRUE(TestFs::namesInOrder(installDir()).empty());
  EXPECT_FALSE(TestFs::exists(root(odd + "/QUENZA_BO.new")));
  EXPECT_FALSE(TestFs::exists(root("https__ota-prod.localhost\xE9/QUENZA_BO.old")));
  EXPECT_EQ(TestFs::readFile(root(odd + "/keep/bin/app.exe")), odd + "/keep");
  EXPECT_TRUE(TestFs::isDirectory(root("https__ota-prod.localhost/caf\xE9")));
  EXPECT_EQ(TestFs::readFile(profile + "/precious.txt"), "precious");
  EXPECT_EQ(TestFs::readFile(profile + "/elsewhere/QUENZA_BO.new/precious.txt"), "precious");
}

// A working directory inside an install (an application that changed into it started the
// launcher) moves up to the root before the clean-up, and it alone: one elsewhere stays.
TEST_F(CleaningBeforeDownload, AWorkingDirectoryInsideTheRootMovesUpToIt) {
  std::string const saved = ChildTools::workingDirectory();
  makeInstall("https__ota-prod.localhost/QUENZA_BO.new");
  TestFs::makeDirs(tmp / "elsewhere");
  for (std::string const& start : {root("https__ota-prod.localhost/QUENZA_BO.new/bin"), tmp / "elsewhere"}) {
    SCOPED_TRACE(start);
    ASSERT_TRUE(ChildTools::changeDirectory(start));
    Step const step = clean();
    std::string const now = ChildTools::workingDirectory();
    ChildTools::changeDirectory(saved);
    EXPECT_EQ(step, Step::Done);
    std::string const expected = start == tmp / "elsewhere" ? start : appsRoot;
    EXPECT_TRUE(std::filesystem::equivalent(ChildTools::fsPath(now), ChildTools::fsPath(expected))) << now;
  }
}

// The application's path at the longest the system starts a program with, and one past
// it: that run fails before anything is touched, rather than after all its downloads.
TEST_F(CleaningBeforeDownload, AnApplicationPathTooLongToStartFailsBeforeAnything) {
  size_t const longest = FS::nativePathStyle() == FS::PathStyle::Windows ? 259 : 4095;
  size_t const below = std::string("/.QuenzaQtApps/https__ota-prod.localhost/QUENZA_BO.new/quenza-bo.exe").size();
  env.appFilename = "quenza-bo.exe";
  for (size_t const length : {longest, longest + 1}) {
    std::string padded = tmp.path();  // folders of 100 characters, and one of the rest
    while (padded.size() + 101 + below < length) padded = FS::join(padded, std::string(100, 'd'));
    appsRoot = FS::join(FS::join(padded, std::string(length - below - padded.size() - 1, 'd')), ".QuenzaQtApps");
    std::string const program = FS::join(installDirNew(), env.appFilename);
    ASSERT_EQ(program.size(), length);
    err.clear();
    bool const tooLong = length > longest;
    EXPECT_EQ(clean(), tooLong ? Step::Failed : Step::Done) << length;
    EXPECT_EQ(err, tooLong ? "App path too long to start: " + program + "\n" : "");
    EXPECT_EQ(TestFs::exists(installDirNew()), !tooLong);
  }
}

TEST_F(CleaningBeforeDownload, InstallDirThatCannotBeCreatedEndsInError) {
  struct Case {
    std::string blockingFile;  // a regular file standing where a directory is needed
    bool expectInstallDir;     // whether installDir exists afterwards
    std::string failedDir;     // what the error line names
  };
  Case const cases[] = {
      {"https__ota-prod.localhost", false, "https__ota-prod.localhost/QUENZA_BO"},
      {"https__ota-prod.localhost/QUENZA_BO.new", true, "https__ota-prod.localhost/QUENZA_BO.new"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.blockingFile);
    TempDir scratch;
    appsRoot = scratch / ".QuenzaQtApps";
    TestFs::makeDirs(FS::parentPath(root(c.blockingFile)));
    TestFs::makeFile(root(c.blockingFile), "in the way");
    out.clear();
    err.clear();

    Step const step = clean();

    EXPECT_EQ(err, "FS couldn't create install dir: " + root(c.failedDir) + "\n");
    EXPECT_EQ(step, Step::Failed);
    EXPECT_EQ(TestFs::isDirectory(installDir()), c.expectInstallDir);
    EXPECT_EQ(TestFs::readFile(root(c.blockingFile)), "in the way");
  }
}

TEST_F(CleaningBeforeDownload, UnusableRootFindsNothingAndFailsAtCreation) {
  TestFs::makeFile(tmp / "profile", "not a directory");
  Step const step = clean();
  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  expected.push_back("New install dir: " + installDir());
  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "FS couldn't create install dir: " + installDir() + "\n");
}
