#include "install/run_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "child_tools.h"
#include "fs_fixture.h"
#include "exec/process.h"

// The lock is held by another process (the only way a Windows mutex is not re-entered),
// and that process ends without letting it go, as a crashed launcher would.
TEST(RunLock, OnePerEditionAndChannelAcrossProcessesAndGoneWithItsProcess) {
  TestFs::TempDir dir;
  std::string const apps = ChildTools::utf8Of(dir.fsPath() / ".QuenzaQtApps");
  std::string const report = ChildTools::utf8Of(dir.fsPath() / "report");
  std::string const stop = ChildTools::utf8Of(dir.fsPath() / "stop");
  ASSERT_TRUE(Process::start(ChildTools::toolPath("lock_holder"),
                             {apps, "QUENZA_BO", "PROD", report, stop}));
  ASSERT_EQ(ChildTools::waitForFileEnding(dir.fsPath() / "report", "\n"), "held\n");

  RunLock mine;
  EXPECT_EQ(mine.acquire(apps, "QUENZA_BO", "PROD"), RunLock::Outcome::Busy);
  EXPECT_EQ(mine.acquire(apps, "QUENZA_BO", "DEMO"), RunLock::Outcome::Held);
  EXPECT_EQ(mine.acquire(apps, "QUENZA_PMS", "PROD"), RunLock::Outcome::Held);
  mine.release();

  ChildTools::writeFile(dir.fsPath() / "stop", "");
  RunLock::Outcome outcome = RunLock::Outcome::Busy;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (outcome == RunLock::Outcome::Busy && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    outcome = mine.acquire(apps, "QUENZA_BO", "PROD");
  }
  EXPECT_EQ(outcome, RunLock::Outcome::Held);
}
