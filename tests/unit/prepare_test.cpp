#include "install/prepare.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "child_tools.h"
#include "env/environment.h"
#include "fs/path.h"
#include "prepare_test_support.h"

using namespace ChildTools;

TEST(SharedLibraryLinks, LinkPathsOfALibrary) {
  struct Case {
    std::string path;
    std::vector<std::string> links;
  };
  Case const cases[] = {
      {"libname.so.1.2.3", {"libname.so.1.2", "libname.so.1", "libname.so"}},
      {"libname.so.1", {"libname.so"}},
      {"libname.so", {}},
      {"libname.sox", {}},
      {"libname.sox.1", {}},
      {"libname.so1", {}},
      {"libname.so.1x", {"libname.so"}},
      {"libname.so.", {"libname.so"}},
      {"libname.so..2", {"libname.so.", "libname.so"}},
      // Only the last ".so" counts.
      {"libname.so.1.sox", {}},
      {"libname.so.1.so.2", {"libname.so.1.so"}},
      {"/opt/quenza/lib/libQt6Core.so.6.5.0", {"/opt/quenza/lib/libQt6Core.so.6.5", "/opt/quenza/lib/libQt6Core.so.6",
                                               "/opt/quenza/lib/libQt6Core.so"}},
      // A directory's dots are never cut into.
      {"/x.so.d/lib/libz.so.1", {"/x.so.d/lib/libz.so"}},
      {"C:\\a.b\\libz.so.1", {"C:\\a.b\\libz.so"}},
      {"notes.txt", {}},
      {"", {}},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(Prepare::sharedLibraryLinkPaths(c.path), c.links) << c.path;
  }
}

TEST_F(PrepareTest, OtherPlatformsOnlyWriteTheHostnameFileAndGoOn) {
  // A directory where the file belongs makes the write fail; the run goes on all the same.
  std::filesystem::create_directory(dir.fsPath() / "quenza_hostname.cfg");
  for (uint32_t platform : {uint32_t(MS_WINDOWS), uint32_t(7)}) {
    out.clear();
    env.platform = static_cast<OsType>(platform);
    Step const step = prepare();
    EXPECT_EQ(step, Step::Done) << platform;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
  }
}

TEST_F(PrepareTest, MacUnpacksTheBundleAndLiftsTheQuarantine) {
  StandInTools tools({"ditto", "xattr"});
  env.platform = APPLE_OSX;
  Step const step = prepare();

  EXPECT_EQ(step, Step::Done);
  EXPECT_EQ(err, "");
  EXPECT_EQ(out.rfind("Ditto output: program=ditto\n", 0), 0u) << out;
  EXPECT_NE(out.find("\nXAttr output: program=xattr\n"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("end\n\n")) << out;

  std::vector<Report> const reports = tools.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].program, "ditto");
  EXPECT_EQ(reports[0].arguments,
            (std::vector<std::string>{"-xk", FS::join(installDirNew, "quenza-launcher.zip"), installDirNew}));
  EXPECT_EQ(reports[1].program, "xattr");
  EXPECT_EQ(reports[1].arguments, (std::vector<std::string>{"-dr", "com.apple.quarantine",
                                                            FS::join(installDirNew, "quenza-launcher.app")}));
  // No host-name file on this platform.
  EXPECT_FALSE(std::filesystem::exists(dir.fsPath() / "quenza_hostname.cfg"));
}

TEST_F(PrepareTest, MacStopsAtTheFirstFailingTool) {
  struct Case {
    std::vector<std::string> present;
    std::string failing;
    std::vector<std::string> ran;
    std::string errLine;
  };
  Case const cases[] = {
      {{"ditto", "xattr"}, "ditto", {"ditto"}, "Ditto failed:  started=1 exitCode=1\n"},
      {{"ditto", "xattr"}, "xattr", {"ditto", "xattr"}, "XAttr failed:  started=1 exitCode=1\n"},
      {{"xattr"}, "", {}, "Ditto failed:  started=0 exitCode=-1\n"},
      {{"ditto"}, "", {"ditto"}, "XAttr failed:  started=0 exitCode=-1\n"},
  };
  for (Case const& c : cases) {
    out.clear();
    err.clear();
    StandInTools tools(c.present, c.failing);
    env.platform = APPLE_OSX;
    Step const step = prepare();

    EXPECT_EQ(step, Step::Failed) << c.errLine;
    EXPECT_EQ(err, c.errLine);
    std::vector<std::string> ran;
    for (Report const& report : tools.reports()) ran.push_back(report.program);
    EXPECT_EQ(ran, c.ran) << c.errLine;
    // What the failing tool printed is logged before the failure is.
    if (!c.failing.empty()) {
      EXPECT_NE(out.find("output: program=" + c.failing + "\n"), std::string::npos) << out;
    }
  }
}

TEST_F(PrepareTest, LinuxFailingChmodStopsTheRun) {
  // A tool that runs and exits with 1 fails its step even though its output looks fine.
  StandInTools tools({"chmod"}, "chmod");
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  Step const step = prepare();

  EXPECT_EQ(step, Step::Failed);
  EXPECT_EQ(err, "chmod failed:  started=1 exitCode=1\n");
  EXPECT_NE(out.find("chmod output: program=chmod\n"), std::string::npos) << out;
  std::vector<Report> const reports = tools.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].arguments, (std::vector<std::string>{"a+x", FS::join(installDirNew, "quenza-app")}));
  EXPECT_FALSE(std::filesystem::exists(dir.fsPath() / "quenza_hostname.cfg"));
}

TEST_F(PrepareTest, HostnameFileHoldsTheChannelsApplicationHost) {
  env.platform = MS_WINDOWS;
  // A file left there before is replaced, not appended to or partly overwritten.
  writeFile(dir.fsPath() / "quenza_hostname.cfg", std::string(200, 'x'));
  for (EnvChannel channel : {PROD, DEMO, DEV}) {
    env.channel = channel;
    Step const step = prepare();
    EXPECT_EQ(step, Step::Done);
    EXPECT_EQ(readFile(dir.fsPath() / "quenza_hostname.cfg"), std::string(channelHost(channel))) << channel;
  }
  EXPECT_EQ(readFile(dir.fsPath() / "quenza_hostname.cfg"), "app-dev.localhost");
}
