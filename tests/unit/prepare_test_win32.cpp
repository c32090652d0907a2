#include <gtest/gtest.h>

#include "fs/path.h"
#include "prepare_test_support.h"

using namespace ChildTools;

// Windows makes no symbolic links, so the Linux preparation shows its failure here.
TEST_F(PrepareTest, LinkThatCannotBeMadeStopsTheRunBeforeChmod) {
  StandInTools tools({"chmod"});
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  std::filesystem::create_directories(dir.fsPath() / "lib");
  writeFile(dir.fsPath() / "lib" / "libname.so.1", "library");

  Step const step = prepare();

  std::string const library = FS::join(FS::join(installDirNew, "lib"), "libname.so.1");
  std::string const link = FS::join(FS::join(installDirNew, "lib"), "libname.so");
  EXPECT_EQ(step, Step::Failed);
  EXPECT_EQ(out, "SO file found : path=" + library + "\nFS recreating relative symlink: " + link + "\n");
  EXPECT_EQ(err, "FS couldn't symlink SO file: libname.so.1" + link + "\n");
  EXPECT_TRUE(tools.reports().empty());
  EXPECT_FALSE(std::filesystem::exists(dir.fsPath() / "quenza_hostname.cfg"));
}
