#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "prepare_test_support.h"

using namespace ChildTools;

TEST_F(PrepareTest, LinuxMakesTheApplicationExecutable) {
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  writeFile(dir.fsPath() / "quenza-app", "#!/bin/sh\n");
  chmod((dir.fsPath() / "quenza-app").c_str(), 0600);

  Step const step = prepare();

  EXPECT_EQ(step, Step::Done);
  EXPECT_EQ(err, "");
  EXPECT_EQ(out, "chmod output: \n");
  struct stat info {};
  ASSERT_EQ(stat((dir.fsPath() / "quenza-app").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0711u);
}

TEST_F(PrepareTest, LinuxChmodOfAMissingApplicationFails) {
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  Step const step = prepare();
  EXPECT_EQ(step, Step::Failed);
  EXPECT_EQ(err, "chmod failed:  started=1 exitCode=1\n");
  // The tool's own complaint is in the log.
  EXPECT_EQ(out.rfind("chmod output: chmod: ", 0), 0u) << out;
}

namespace {

std::string linkTarget(std::filesystem::path const& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return "(not a link)";
  return std::filesystem::read_symlink(path, error).string();
}

// The log lines from "SO file found" on, grouped per library (the listing order is the
// directory's own), keyed by the library's path.
std::map<std::string, std::vector<std::string>> linesPerLibrary(std::string const& log) {
  std::map<std::string, std::vector<std::string>> groups;
  std::string current;
  size_t at = 0;
  while (at < log.size()) {
    size_t const end = log.find('\n', at);
    std::string const line = log.substr(at, end - at);
    at = end == std::string::npos ? log.size() : end + 1;
    std::string const found = "SO file found : path=";
    if (line.rfind(found, 0) == 0) {
      current = line.substr(found.size());
      groups[current];
    } else if (line.rfind("FS ", 0) == 0) {
      groups[current].push_back(line);
    }
  }
  return groups;
}

}  // namespace

TEST_F(PrepareTest, LinuxRecreatesTheLinksOfVersionedLibraries) {
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  auto const lib = dir.fsPath() / "lib";
  std::filesystem::create_directories(lib / "plugins");
  for (auto const& name : {"libname.so.1.2.3", "plugins/libother.so.4", "libplain.so", "libweird.sox.1",
                           "readme.txt", "LIBUPPER.SO.1"}) {
    writeFile(lib / name, name);
  }
  writeFile(dir.fsPath() / "quenza-app", "#!/bin/sh\n");

  Step const step = prepare();

  EXPECT_EQ(step, Step::Done);
  EXPECT_EQ(err, "");
  std::string const l = (lib).string() + "/";
  std::map<std::string, std::vector<std::string>> const expected = {
      {l + "libname.so.1.2.3",
       {"FS recreating relative symlink: " + l + "libname.so.1.2", "FS recreating relative symlink: " + l + "libname.so.1",
        "FS recreating relative symlink: " + l + "libname.so"}},
      {l + "plugins/libother.so.4", {"FS recreating relative symlink: " + l + "plugins/libother.so"}},
      {l + "libplain.so", {}},
      {l + "libweird.sox.1", {}},
  };
  EXPECT_EQ(linesPerLibrary(out), expected) << out;
  EXPECT_TRUE(out.ends_with("chmod output: \n")) << out;

  // Each link is relative: the library's bare name, resolved in its own directory.
  EXPECT_EQ(linkTarget(lib / "libname.so.1.2"), "libname.so.1.2.3");
  EXPECT_EQ(linkTarget(lib / "libname.so.1"), "libname.so.1.2.3");
  EXPECT_EQ(linkTarget(lib / "libname.so"), "libname.so.1.2.3");
  EXPECT_EQ(readFile(lib / "libname.so"), "libname.so.1.2.3");
  EXPECT_EQ(linkTarget(lib / "plugins/libother.so"), "libother.so.4");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(lib / "libweird.sox")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(lib / "LIBUPPER.SO")));
  EXPECT_EQ(readFile(dir.fsPath() / "quenza_hostname.cfg"), "app-demo.localhost");
}

TEST_F(PrepareTest, LinuxReplacesOldLinksButKeepsShippedFiles) {
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  auto const lib = dir.fsPath() / "lib";
  std::filesystem::create_directories(lib);
  writeFile(lib / "libname.so.1.2.3", "library");
  // A copy of the library shipped under its short name, and a stale link.
  writeFile(lib / "libname.so", "shipped copy");
  std::filesystem::create_symlink("libname.so.0.9", lib / "libname.so.1");
  writeFile(dir.fsPath() / "quenza-app", "#!/bin/sh\n");

  Step const step = prepare();

  EXPECT_EQ(step, Step::Done);
  EXPECT_EQ(err, "");
  EXPECT_EQ(linkTarget(lib / "libname.so.1.2"), "libname.so.1.2.3");
  EXPECT_EQ(linkTarget(lib / "libname.so.1"), "libname.so.1.2.3");
  EXPECT_EQ(linkTarget(lib / "libname.so"), "(not a link)");
  EXPECT_EQ(readFile(lib / "libname.so"), "shipped copy");
}

// A lib directory that is there but cannot be listed fails the run before chmod: the
// application would start without the links it loads its libraries by. (A link loop
// stands for any failing listing: root reads every directory.)
TEST_F(PrepareTest, LinuxALibraryDirThatCannotBeListedFailsTheRun) {
  env.platform = GNU_LINUX;
  env.appFilename = "quenza-app";
  writeFile(dir.fsPath() / "quenza-app", "#!/bin/sh\n");
  std::filesystem::create_symlink("lib", dir.fsPath() / "lib");

  EXPECT_EQ(prepare(), Step::Failed);
  EXPECT_EQ(err, "FS couldn't list SO files: " + (dir.fsPath() / "lib").string() + "\n");
  EXPECT_EQ(out, "");
}
