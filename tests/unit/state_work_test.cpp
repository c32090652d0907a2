// The dispatcher: which state follows what each step reports, when the loop skips its
// sleep, and the orchestration of the states whose work spans modules (the verify
// request, the downloads, the start of the application).
#include "app/state_work.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "child_tools.h"
#include "exec/process.h"
#include "fs_fixture.h"
#include "fs/path.h"
#include "held_run_lock.h"
#include "http/http.h"

using namespace ChildTools;
using TestFs::TempDir;

namespace {

class StateWork : public ::testing::Test {
 protected:
  // A run staging into staging, with a manifest naming the application payload only.
  void stage(::Run& run, TempDir const& staging) {
    run.install.installDirNew = staging.path();
    run.env.platform = currentOsType();
    run.env.appFilename = "quenza-app";
    run.manifest.cdn = "https://cdn.localhost/r1";
    run.manifest.app.uri = "bin/app";
  }
  // Stopped: a transfer is answered at once, inside HTTP::send.
  void TearDown() override { HTTP::shutdown(); }

  TempDir dir;
  std::vector<std::string> args{"C:\\Users\\Zo\xc3\xab Doe\\Quenza Installer (2).exe", "ignored"};
  std::string out;
  std::string err;
  Log::Capture capture{out, err};
};

// The loop skips its sleep after a pass whose own work failed, not after one in which a
// completion handler did, even one that ran inside HTTP::send because the transfer could
// not start; and not after a failed start of the application. Another launcher holds
// this edition's run lock (a process: a Windows mutex is re-entered by its owner).
TEST_F(StateWork, OnlyAFailureOfTheWorkItselfSkipsTheSleep) {
  HeldRunLock other(dir.fsPath(), dir / "apps", "QUENZA_PMS", "PROD");
  ASSERT_EQ(other.report(), "held\n");
  struct Case {
    char const* what;
    InstallerState state;
    bool itemQueued;
    bool hashFileBlocked;
    InstallerState next;
    bool skipsSleep;
  } const cases[] = {
      {"queue built", InstallerState::ConstructingQueue, false, false, InstallerState::Downloading, false},
      {"hash file written", InstallerState::Downloading, false, false, InstallerState::PreparingExecution, false},
      {"hash file not written", InstallerState::Downloading, false, true, InstallerState::Error, true},
      {"reply failed inside send", InstallerState::Downloading, true, false, InstallerState::Error, false},
      {"application not started", InstallerState::ExecutingApp, false, false, InstallerState::Error, false},
      // Waiting does nothing, so a pass in it that skipped the sleep would spin the loop.
      {"waiting for a reply", InstallerState::Waiting, false, false, InstallerState::Waiting, false},
      {"run lock busy", InstallerState::EnvironmentDetection, false, false, InstallerState::Error, false},
  };
  for (Case const& c : cases) {
    TempDir staging;
    ::Run one(args, c.state);
    stage(one, staging);
    one.appsRoot = dir / "apps";
    if (c.itemQueued) one.downloads.queue.push_back({"https://cdn.localhost/r1/bin/app", "x", "h"});
    if (c.hashFileBlocked) std::filesystem::create_directory(staging.fsPath() / "quenza_deps_dist.sha256");
    PassEnd const end = performStateWork(one);
    EXPECT_EQ(one.state(), c.next) << c.what;
    EXPECT_EQ(end.skipsSleep, c.skipsSleep) << c.what;
    EXPECT_FALSE(end.endsRun) << c.what;
  }
  // A manifest refused while the queue is built.
  ::Run refused(args, InstallerState::ConstructingQueue);
  refused.manifest.cdn = "https://cdn.localhost/\n";
  PassEnd const end = performStateWork(refused);
  EXPECT_EQ(refused.state(), InstallerState::Error);
  EXPECT_TRUE(end.skipsSleep);
}

TEST_F(StateWork, RequestThatCannotStartIsAnsweredWhileWaiting) {
  // The engine is not started, so the reply arrives inside send; the handler's Error
  // must stand rather than be overwritten by Waiting.
  ::Run one(args, InstallerState::Downloading);
  stage(one, dir);
  one.downloads.queue.push_back({"https://cdn.localhost/r1/bin/app", FS::join(dir.path(), "quenza-app"), "h"});
  (void)performStateWork(one);
  EXPECT_EQ(one.state(), InstallerState::Error);
  EXPECT_EQ(out, "Changing state: Waiting\n"
                 "DL request: remoteUrl=https://cdn.localhost/r1/bin/app localPath=" +
                     FS::join(dir.path(), "quenza-app") +
                     "\n"
                     "DL reply: status=0\n"
                     "Changing state: Error\n");
  EXPECT_EQ(err, "GET failed: status=0 body=\n");
}

TEST_F(StateWork, QueryingOtaWaitsForTheReplyAndFailsWithoutServer) {
  ::Run one(args, InstallerState::QueryingOta);
  one.env.otaHost = "127.0.0.1:1";  // nothing listens there
  (void)performStateWork(one);
  EXPECT_EQ(out, "Verify OTA...\nChanging state: Waiting\n");
  EXPECT_EQ(one.state(), InstallerState::Waiting);
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (one.state() == InstallerState::Waiting && std::chrono::steady_clock::now() < deadline) {
    HTTP::pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(out, "Verify OTA...\nChanging state: Waiting\nChanging state: Error\n");
  EXPECT_EQ(err, "POST failed: status=0 body=\n");
  EXPECT_EQ(one.manifest.code, "");
}

TEST_F(StateWork, StartsTheApplicationWithTheInstallerPath) {
  struct Case {
    OsType platform;
    std::string directory;  // where the executable lies below installDirNew
  };
  Case const cases[] = {{MS_WINDOWS, ""}, {GNU_LINUX, ""}, {APPLE_OSX, "quenza-launcher.app/Contents/MacOS"}};
  for (Case const& c : cases) {
    TempDir install;
    ::Run one(args, InstallerState::ExecutingApp);
    one.install.installDirNew = install.path();
    one.env.platform = c.platform;
    one.env.appFilename = "quenza-test-app" + exeSuffix();
    std::filesystem::path const where = install.fsPath() / fsPath(c.directory);
    std::filesystem::create_directories(where);
    std::filesystem::copy_file(fsPath(toolPath("record_args")), where / fsPath(one.env.appFilename));
    auto const record = install.fsPath() / "record.txt";
    out.clear();
    PassEnd end;
    {
      ScopedVariable file("QUENZA_RECORD_FILE", utf8Of(record));
      end = performStateWork(one);
    }

    EXPECT_EQ(one.state(), InstallerState::ClosingWindow);
    EXPECT_FALSE(end.endsRun);
    EXPECT_EQ(out, "Changing state: Closing window\n");
    std::vector<Report> const reports = parseReports(waitForFileEnding(record, "end\n"));
    ASSERT_EQ(reports.size(), 1u) << c.directory;
    EXPECT_EQ(reports[0].program, "quenza-test-app");
    EXPECT_EQ(reports[0].arguments, std::vector<std::string>{"--installer=" + args[0]});
    EXPECT_EQ(reports[0].cwd, workingDirectory());
  }
}

TEST_F(StateWork, ApplicationThatCannotStartIsAnErrorWithoutALineOfItsOwn) {
  ::Run one(args, InstallerState::ExecutingApp);
  one.install.installDirNew = dir.path();
  one.env.platform = MS_WINDOWS;
  one.env.appFilename = "quenza-missing" + exeSuffix();
  (void)performStateWork(one);
  EXPECT_EQ(one.state(), InstallerState::Error);
  EXPECT_EQ(out, "Changing state: Error\n");
  EXPECT_EQ(err, "");
}

}  // namespace
