#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "app/state_work.h"

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
  EXPECT_EQ(computeAppsRoot(), "/home/someone else/.QuenzaQtApps");
  setenv("HOME", "/home/trailing/", 1);
  EXPECT_EQ(computeAppsRoot(), "/home/trailing/.QuenzaQtApps");

  std::string const fromDatabase = passwordHome();
  if (fromDatabase.empty()) GTEST_SKIP() << "this user has no home in the password database";
  setenv("HOME", "", 1);
  EXPECT_EQ(computeAppsRoot(), fromDatabase + "/.QuenzaQtApps");
  unsetenv("HOME");
  EXPECT_EQ(computeAppsRoot(), fromDatabase + "/.QuenzaQtApps");
}
