#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <optional>

#include "child_tools.h"
#include "fs_fixture.h"
#include "exec/process.h"

std::optional<std::vector<std::wstring>> nativeSplit(std::wstring const& commandLine) {
  int count = 0;
  wchar_t** list = CommandLineToArgvW(commandLine.c_str(), &count);
  if (!list) return std::nullopt;
  std::vector<std::wstring> out(list, list + count);
  LocalFree(list);
  return out;
}

TEST(ProcessRunWindows, ExitCodesAreKeptBitForBit) {
  struct Case {
    std::string code;
    int32_t expected;
  };
  Case const cases[] = {{"0xC0000005", -1073741819}, {"0x80000000", INT32_MIN}, {"0xFFFFFFFF", -1},
                        {"0x7FFFFFFF", INT32_MAX}, {"259", 259}};
  for (Case const& c : cases) {
    Process::Result const result = Process::run(ChildTools::toolPath("child_tool"), {"0", "0", c.code});
    EXPECT_TRUE(result.started) << c.code;
    EXPECT_EQ(result.exitCode, c.expected) << c.code;
  }
}

TEST(ProcessRunWindows, ProgramIsNotSearchedForAlongThePath) {
  // The bare name of a program in the search path (but not in the working directory)
  // does not start: the application name is used exactly as given.
  std::string const dir = ChildTools::toolPath("child_tool");
  ChildTools::ScopedVariable path("PATH", dir.substr(0, dir.find_last_of("\\/")) + ";" + ChildTools::variable("PATH"));
  TestFs::TempDir elsewhere;
  std::string const cwd = ChildTools::workingDirectory();
  ASSERT_TRUE(ChildTools::changeDirectory(elsewhere.path()));
  Process::Result const result = Process::run("child_tool.exe", {"0", "0", "0"});
  bool const started = Process::start("child_tool.exe", {"0", "0", "0"});
  ChildTools::changeDirectory(cwd);
  EXPECT_FALSE(result.started);
  EXPECT_EQ(result.exitCode, -1);
  EXPECT_FALSE(started);
}
