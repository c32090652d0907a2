#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fs_fixture.h"
#include "install/run_lock.h"

// Whatever a profile holds at the lock's name, taking the lock never waits: a named pipe
// there (which nothing ever writes to) would otherwise keep the launcher hanging before
// it shows a window. The alarm turns such a hang into a failure instead of a stuck run.
TEST(RunLockPosix, ANamedPipeAtTheLockNameNeitherHangsNorBreaksTheLock) {
  TestFs::TempDir dir;
  std::string const apps = dir.path() + "/.QuenzaQtApps";
  ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((apps + "/.QUENZA_BO_PROD.lock").c_str(), 0644), 0);

  alarm(20);
  RunLock first;
  RunLock second;
  EXPECT_EQ(first.acquire(apps, "QUENZA_BO", "PROD"), RunLock::Outcome::Held);
  EXPECT_EQ(second.acquire(apps, "QUENZA_BO", "PROD"), RunLock::Outcome::Busy);
  alarm(0);
}
