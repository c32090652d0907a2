#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/log.h"
#include "app/run.h"
#include "app/state.h"
#include "app/state_work.h"
#include "env/environment.h"
#include "fs/path.h"
#include "fs_fixture.h"

using TestFs::TempDir;

namespace {

std::vector<std::string> splitLines(std::string const& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t const end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

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
    savedEnvironment_ = environment();
    environment().edition = QUENZA_BO;
    environment().channel = PROD;
    environment().otaHost = "ota-prod.localhost";
    run.appsRoot = tmp / "profile/.QuenzaQtApps";
    resetStateForTesting(InstallerState::CleaningBeforeDownload);
    Log::captureForTesting(&out, &err);
  }

  void TearDown() override {
    Log::captureForTesting(nullptr, nullptr);
    environment() = savedEnvironment_;
    resetStateForTesting(InstallerState::EnvironmentDetection);
  }

  std::string root(std::string const& relative) const { return FS::join(run.appsRoot, relative); }

  std::string installDir() const { return root("https__ota-prod.localhost/QUENZA_BO"); }
  std::string installDirNew() const { return root("https__ota-prod.localhost/QUENZA_BO.new"); }

  // A directory tree standing for an install, with one file in it.
  void makeInstall(std::string const& relative) {
    TestFs::makeDirs(root(relative) + "/bin");
    TestFs::makeFile(root(relative) + "/bin/app.exe", relative);
  }

  TempDir tmp;
  std::vector<std::string> const args{"launcher"};
  ::Run run{args};
  std::string out;
  std::string err;

 private:
  EnvironmentValues savedEnvironment_;
};

}  // namespace

TEST_F(CleaningBeforeDownload, FirstRunCreatesTheRootAndBothInstallDirs) {
  workCleaningBeforeDownload(run);

  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  append(expected, {"New install dir: " + installDir(), "Changing state: Constructing queue"});
  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "");
  EXPECT_EQ(currentState(), InstallerState::ConstructingQueue);
  EXPECT_EQ(run.installDir, installDir());
  EXPECT_EQ(run.installDirNew, installDirNew());
  EXPECT_EQ(TestFs::namesInOrder(run.appsRoot), std::vector<std::string>{"https__ota-prod.localhost"});
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
    environment().edition = c.edition;
    environment().channel = c.channel;
    environment().otaHost = "ota.example";
    resetStateForTesting(InstallerState::CleaningBeforeDownload);
    workCleaningBeforeDownload(run);
    std::vector<std::string> lines = splitLines(out);
    ASSERT_GE(lines.size(), 9u);
    lines.resize(9);
    EXPECT_EQ(lines, nameLines(c.upper, c.mixed, c.modern));
    EXPECT_EQ(run.installDir, root("https__ota.example/" + c.modern));
    EXPECT_EQ(run.installDirNew, root("https__ota.example/" + c.modern + ".new"));
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
  for (std::string const& name : inListingOrder(run.appsRoot, {"QUENZA_BO_PROD", "QuenzaBO_PROD.new"})) {
    removals.push_back(root(name));
  }
  std::map<std::string, std::set<std::string>> const conflictsIn = {
      {"https__ota-prod.localhost", {"QUENZA_BO", "QUENZA_BO.old"}},
      {"http__ota-prod.localhost", {"QUENZA_BO"}},
      {"https__ota-prod.localhost-eu", {"QUENZA_BO.new"}},
  };
  std::set<std::string> envNames;
  for (auto const& [name, conflicts] : conflictsIn) envNames.insert(name);
  for (std::string const& envName : inListingOrder(run.appsRoot, envNames)) {
    expected.push_back("FS env dir found:  path=" + root(envName));
    for (std::string const& name : inListingOrder(root(envName), conflictsIn.at(envName))) {
      expected.push_back("FS conflicting install dir found : path=" + FS::join(root(envName), name));
      removals.push_back(FS::join(root(envName), name));
    }
  }
  ASSERT_EQ(removals.size(), 6u);
  expected.push_back("New install dir: " + installDir());
  for (std::string const& path : removals) expected.push_back("FS deleting conflicting install dir :" + path);
  expected.push_back("Changing state: Constructing queue");

  workCleaningBeforeDownload(run);

  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "");
  EXPECT_EQ(currentState(), InstallerState::ConstructingQueue);
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

  workCleaningBeforeDownload(run);

  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  append(expected, {"FS env dir found:  path=" + root("https__ota-prod.localhost"), "New install dir: " + installDir(),
                    "Changing state: Constructing queue"});
  EXPECT_EQ(splitLines(out), expected);
  for (std::string const& path : lookAlikes) {
    EXPECT_EQ(TestFs::readFile(root(path) + "/bin/app.exe"), path);
  }
}

TEST_F(CleaningBeforeDownload, FirstFailedRemovalStopsEverything) {
  makeInstall("QUENZA_BO_PROD");
  makeInstall("https__ota-prod.localhost/QUENZA_BO.old");
  TestFs::Undeletable held(root("QUENZA_BO_PROD/bin/app.exe"));
  if (!held.unavailable().empty()) GTEST_SKIP() << held.unavailable();

  workCleaningBeforeDownload(run);
  held.release();

  std::vector<std::string> const lines = splitLines(out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "New install dir: " + installDir());
  EXPECT_EQ(lines[lines.size() - 2], "FS deleting conflicting install dir :" + root("QUENZA_BO_PROD"));
  EXPECT_EQ(lines.back(), "Changing state: Error");
  EXPECT_EQ(err, "FS couldn't remove conflicting install dir: " + root("QUENZA_BO_PROD") + "\n");
  EXPECT_EQ(currentState(), InstallerState::Error);
  EXPECT_EQ(TestFs::readFile(root("QUENZA_BO_PROD/bin/app.exe")), "QUENZA_BO_PROD");
  EXPECT_EQ(TestFs::readFile(root("https__ota-prod.localhost/QUENZA_BO.old/bin/app.exe")),
            "https__ota-prod.localhost/QUENZA_BO.old");
  EXPECT_FALSE(TestFs::exists(installDir()));
  EXPECT_FALSE(TestFs::exists(installDirNew()));
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
    run.appsRoot = scratch / ".QuenzaQtApps";
    TestFs::makeDirs(FS::parentPath(root(c.blockingFile)));
    TestFs::makeFile(root(c.blockingFile), "in the way");
    out.clear();
    err.clear();
    resetStateForTesting(InstallerState::CleaningBeforeDownload);

    workCleaningBeforeDownload(run);

    EXPECT_EQ(err, "FS couldn't create install dir: " + root(c.failedDir) + "\n");
    EXPECT_EQ(splitLines(out).back(), "Changing state: Error");
    EXPECT_EQ(currentState(), InstallerState::Error);
    EXPECT_EQ(TestFs::isDirectory(installDir()), c.expectInstallDir);
    EXPECT_EQ(TestFs::readFile(root(c.blockingFile)), "in the way");
  }
}

TEST_F(CleaningBeforeDownload, UnusableRootFindsNothingAndFailsAtCreation) {
  TestFs::makeFile(tmp / "profile", "not a directory");
  workCleaningBeforeDownload(run);
  std::vector<std::string> expected = nameLines("QUENZA_BO_PROD", "QuenzaBO_PROD", "QUENZA_BO");
  append(expected, {"New install dir: " + installDir(), "Changing state: Error"});
  EXPECT_EQ(splitLines(out), expected);
  EXPECT_EQ(err, "FS couldn't create install dir: " + installDir() + "\n");
}
