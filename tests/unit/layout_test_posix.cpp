#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "base/log.h"
#include "env/environment.h"
#include "fs_fixture.h"
#include "install/layout.h"

namespace {

// Sets or unsets HOME for one test and puts the old value back.
class HomeVariable {
 public:
  HomeVariable() {
    if (char const* home = std::getenv("HOME")) saved_ = home;
  }
  ~HomeVariable() {
    if (saved_) {
      setenv("HOME", saved_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

std::string passwordHome() {
  passwd const* const record = getpwuid(getuid());
  return record && record->pw_dir ? record->pw_dir : "";
}

}  // namespace

TEST(AppsRootPosix, HomeWinsAndThePasswordDatabaseStandsInForItsAbsence) {
  HomeVariable restore;
  setenv("HOME", "/home/someone else", 1);
  EXPECT_EQ(Layout::computeAppsRoot(), "/home/someone else/.QuenzaQtApps");
  setenv("HOME", "/home/trailing/", 1);
  EXPECT_EQ(Layout::computeAppsRoot(), "/home/trailing/.QuenzaQtApps");

  std::string const fromDatabase = passwordHome();
  if (fromDatabase.empty()) GTEST_SKIP() << "this user has no home in the password database";
  setenv("HOME", "", 1);
  EXPECT_EQ(Layout::computeAppsRoot(), fromDatabase + "/.QuenzaQtApps");
  unsetenv("HOME");
  EXPECT_EQ(Layout::computeAppsRoot(), fromDatabase + "/.QuenzaQtApps");
}

// An environment directory that cannot be read may hold the install: the clean-up stops
// there with its failure line rather than go on as if the install were gone. Root reads
// everything, so the clean-up runs in a child as an unprivileged user owning the tree.
TEST(CleaningPosix, AnUnreadableEnvironmentDirStopsTheCleanUp) {
  TestFs::TempDir tmp;
  std::string const apps = tmp / ".QuenzaQtApps";
  std::string const env = apps + "/https__ota-prod.localhost";
  TestFs::makeDirs(env + "/QUENZA_BO/bin");
  TestFs::makeFile(env + "/QUENZA_BO/bin/app.exe", "old");
  uid_t const owner = geteuid() == 0 ? 65534 : geteuid();
  gid_t const group = geteuid() == 0 ? 65534 : getegid();
  if (geteuid() == 0) {
    for (std::string const& path : {apps, env, env + "/QUENZA_BO", env + "/QUENZA_BO/bin", env + "/QUENZA_BO/bin/app.exe"}) {
      ASSERT_EQ(lchown(path.c_str(), owner, group), 0) << path;
    }
  }
  ASSERT_EQ(chmod(env.c_str(), 0300), 0);  // entries can be reached, not listed

  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(owner) != 0)) _exit(10);
    EnvironmentValues values;
    values.edition = QUENZA_BO;
    values.channel = PROD;
    values.otaHost = "ota-prod.localhost";
    Layout::InstallLocations install;
    std::string out;
    std::string err;
    Step step;
    {
      Log::Capture capture(out, err);
      step = Layout::cleanBeforeDownload(apps, values, install);
    }
    if (step != Step::Failed) _exit(11);
    if (err != "FS couldn't remove conflicting install dir: " + env + "\n") _exit(12);
    if (access((env + "/QUENZA_BO/bin/app.exe").c_str(), F_OK) != 0) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(env.c_str(), 0700);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot drop privileges, 11: no error, 12: another line, 13: install gone";
}
