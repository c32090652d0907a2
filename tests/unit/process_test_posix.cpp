#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "child_tools.h"
#include "fs_fixture.h"
#include "exec/process.h"

using namespace ChildTools;
using TestFs::TempDir;

// Linux has no splitter of its own; the rules are checked against the test's reading.
std::optional<std::vector<std::wstring>> nativeSplit(std::wstring const&) { return std::nullopt; }

namespace {

// Runs body in a forked copy of this process, as if it were a launcher that ends right
// after; gives the copy's exit code.
template <typename Body>
int inForkedLauncher(Body body) {
  pid_t const pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ProcessRunPosix, ChildKilledBySignalIsNotSuccess) {
  Process::Result const result = Process::run(toolPath("child_tool"), {"--kill-self"});
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 128 + SIGKILL);
}

TEST(ProcessRunPosix, ExecutableFileThatIsNoProgramDoesNotStart) {
  TempDir dir;
  auto const path = dir.fsPath() / "garbage";
  writeFile(path, "\x01\x02\x03 not a program\n");
  chmod(path.c_str(), 0755);
  Process::Result const result = Process::run(path.string(), {});
  EXPECT_FALSE(result.started);
  EXPECT_EQ(result.exitCode, -1);
  EXPECT_FALSE(Process::start(path.string(), {}));
}

TEST(ProcessRunPosix, BareNameIsLookedUpAlongPath) {
  std::string const tool = toolPath("child_tool");
  TempDir dir;
  Process::Result result;
  bool started = false;
  {
    ScopedVariable path("PATH", "/nonexistent:" + tool.substr(0, tool.rfind('/')));
    ScopedVariable file("QUENZA_RECORD_FILE", (dir.fsPath() / "record.txt").string());
    result = Process::run("child_tool", {"2", "0", "4"});
    started = Process::start("record_args", {"x"});
  }

  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(result.output, "oo");
  EXPECT_TRUE(started);
  auto const reports = parseReports(waitForFileEnding(dir.fsPath() / "record.txt", "end\n"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].arguments, std::vector<std::string>{"x"});
}

TEST(ProcessRunPosix, IgnoredSignalsOfTheLauncherAreNotPassedOn) {
  // With SIGTERM ignored here, a child that did inherit it would survive its own kill.
  TempDir dir;
  auto const script = dir.fsPath() / "self_term";
  writeFile(script, "#!/bin/sh\nkill -TERM $$\nexit 0\n");
  chmod(script.c_str(), 0755);
  struct sigaction ignore {}, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &saved);
  Process::Result const result = Process::run(script.string(), {});
  sigaction(SIGTERM, &saved, nullptr);
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 128 + SIGTERM);
}

TEST(ProcessStartPosix, DetachedChildIsAdoptedAndLeavesNoZombie) {
  TempDir dir;
  auto const record = dir.fsPath() / "record.txt";
  bool started = false;
  {
    ScopedVariable file("QUENZA_RECORD_FILE", record.string());
    started = Process::start(toolPath("record_args"), {"a"});
  }
  ASSERT_TRUE(started);

  // Nothing of ours is left to reap: the intermediate child was waited for and the
  // program itself belongs to someone else.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  auto const reports = parseReports(waitForFileEnding(record, "end\n"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].ppid, std::to_string(getpid()));
}

TEST(ProcessStartPosix, DetachedChildOutlivesTheLauncher) {
  TempDir dir;
  auto const record = dir.fsPath() / "record.txt";
  std::string const tool = toolPath("record_args");
  int launcherExit = -1;
  {
    ScopedVariable file("QUENZA_RECORD_FILE", record.string());
    ScopedVariable after("QUENZA_RECORD_AFTER", (dir.fsPath() / "go").string());
    launcherExit = inForkedLauncher([&] { return Process::start(tool, {"after"}) ? 0 : 1; });
  }

  ASSERT_EQ(launcherExit, 0);
  writeFile(dir.fsPath() / "go", "");
  auto const reports = parseReports(waitForFileEnding(record, "end\n"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].arguments, std::vector<std::string>{"after"});
}

TEST(ProcessStartPosix, DetachedChildDoesNotHoldTheLaunchersOutput) {
  // Whoever reads the launcher's output must see its end when the launcher ends, not
  // when the application it started ends. The child waits for a file made only after
  // that end: had it held the output, the end would come with its report, 30 s later.
  TempDir dir;
  auto const record = dir.fsPath() / "record.txt";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::string const tool = toolPath("record_args");
  pid_t launcher = -1;
  {
    ScopedVariable file("QUENZA_RECORD_FILE", record.string());
    ScopedVariable after("QUENZA_RECORD_AFTER", (dir.fsPath() / "go").string());
    launcher = fork();
    if (launcher == 0) {
      dup2(pipeFds[1], STDOUT_FILENO);
      dup2(pipeFds[1], STDERR_FILENO);
      close(pipeFds[0]);
      close(pipeFds[1]);
      _exit(Process::start(tool, {}) ? 0 : 1);
    }
  }
  close(pipeFds[1]);
  char buffer[256];
  while (read(pipeFds[0], buffer, sizeof(buffer)) > 0) {
  }
  bool const reportedBeforeTheEnd = !readFile(record).empty();
  close(pipeFds[0]);
  int status = 0;
  waitpid(launcher, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(reportedBeforeTheEnd);
  writeFile(dir.fsPath() / "go", "");
  EXPECT_EQ(parseReports(waitForFileEnding(record, "end\n")).size(), 1u);
}
