#include <sys/stat.h>

#include <gtest/gtest.h>

#include "app/state_work.h"
#include "launch_test_support.h"

using namespace ChildTools;

TEST_F(LaunchTest, LinuxMakesTheApplicationExecutable) {
  environment().platform = GNU_LINUX;
  environment().appFilename = "quenza-app";
  writeFile(dir.path() / "quenza-app", "#!/bin/sh\n");
  chmod((dir.path() / "quenza-app").c_str(), 0600);

  workPreparingExecution(run);

  EXPECT_EQ(currentState(), InstallerState::ExecutingApp);
  EXPECT_EQ(err, "");
  EXPECT_EQ(out, "chmod output: \nChanging state: Executing app\n");
  struct stat info {};
  ASSERT_EQ(stat((dir.path() / "quenza-app").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0711u);
}

TEST_F(LaunchTest, LinuxChmodOfAMissingApplicationFails) {
  environment().platform = GNU_LINUX;
  environment().appFilename = "quenza-app";
  workPreparingExecution(run);
  EXPECT_EQ(currentState(), InstallerState::Error);
  EXPECT_EQ(err, "chmod failed:  started=1 exitCode=1\n");
  // The tool's own complaint is in the log.
  EXPECT_EQ(out.rfind("chmod output: chmod: ", 0), 0u) << out;
}
