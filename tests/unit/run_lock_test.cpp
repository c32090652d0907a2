#include "install/run_lock.h"

#include <gtest/gtest.h>

#include "child_tools.h"
#include "fs_fixture.h"
#include "held_run_lock.h"

// The lock is held by another process (the only way a Windows mutex is not re-entered),
// and that process ends without letting it go, as a crashed launcher would.
TEST(RunLock, OnePerEditionAndChannelAcrossProcessesAndGoneWithItsProcess) {
  TestFs::TempDir dir;
  std::string const apps = ChildTools::utf8Of(dir.fsPath() / ".QuenzaQtApps");
  HeldRunLock other(dir.fsPath(), apps, "QUENZA_BO", "PROD");
  ASSERT_EQ(other.report(), "held\n");

  RunLock mine;
  EXPECT_EQ(mine.acquire(apps, "QUENZA_BO", "PROD"), RunLock::Outcome::Busy);
  EXPECT_EQ(mine.acquire(apps, "QUENZA_BO", "DEMO"), RunLock::Outcome::Held);
  EXPECT_EQ(mine.acquire(apps, "QUENZA_PMS", "PROD"), RunLock::Outcome::Held);
  mine.release();
  EXPECT_EQ(other.stop(), RunLock::Outcome::Held);
}
