#include "exec/process.h"

#include <gtest/gtest.h>

#include <optional>

#include "child_tools.h"
#include "fs_fixture.h"
#include "support/windows_split.h"

using namespace ChildTools;
using TestFs::TempDir;

// The splitter of the target platform, where it has one (Windows: CommandLineToArgvW).
std::optional<std::vector<std::wstring>> nativeSplit(std::wstring const& commandLine);

namespace {

// Spells a command-line text in the letters of the quoting table: q is a double quote,
// s a backslash, _ a blank; every other character stands for itself (so words in the
// data are written in capitals).
std::wstring spelled(std::string const& letters) {
  std::wstring text;
  for (char const c : letters) {
    if (c == 'q') {
      text += L'"';
    } else if (c == 's') {
      text += L'\\';
    } else if (c == '_') {
      text += L' ';
    } else {
      text += static_cast<wchar_t>(c);
    }
  }
  return text;
}


std::wstring utf16(std::string const& utf8) {
  // Test data here is ASCII or written as UTF-8 and checked through the real converter
  // elsewhere; this helper only widens ASCII.
  return std::wstring(utf8.begin(), utf8.end());
}

}  // namespace

TEST(ProcessQuoting, QuoteArgumentTable) {
  struct Case {
    std::string argument;
    std::string written;
  };
  Case const cases[] = {
      {"", "qq"},
      {"ab", "ab"},
      {"a_b", "qa_bq"},
      {"aqb", "qasqbq"},
      {"asb", "asb"},
      {"as_b", "qas_bq"},
      {"a_bs", "qa_bssq"},
      {"a_ssqb", "qa_sssssqbq"},
      {"a\tb", "qa\tbq"},
      // Only tab, blank and double quote call for quoting.
      {"a\nb", "a\nb"},
      {"a\vb", "a\vb"},
      {"ss", "ss"},
      {"q", "qsqq"},
      {"_", "q_q"},
      {"s_qs", "qs_sqssq"},
      {"C:sPROGRAM_FILESs", "qC:sPROGRAM_FILESssq"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(Process::quoteArgument(spelled(c.argument)), spelled(c.written)) << "argument " << c.argument;
  }
}

TEST(ProcessQuoting, BuildCommandLine) {
  struct Case {
    std::string program;
    std::vector<std::string> arguments;
    std::string line;
  };
  Case const cases[] = {
      {"C:sAPPSsQUENZA.EXE", {}, "C:sAPPSsQUENZA.EXE"},
      // A program path holding a blank is quoted like any argument.
      {"C:sPROGRAM_FILESsQUENZA.EXE", {"x"}, "qC:sPROGRAM_FILESsQUENZA.EXEq_x"},
      {"p", {""}, "p_qq"},
      {"p", {"a", "b_c", ""}, "p_a_qb_cq_qq"},
      // Invalid UTF-8 converts to nothing, which is written as an empty argument.
      {"p", {"\xff\xfe", "ok"}, "p_qq_ok"},
  };
  for (Case const& c : cases) {
    std::vector<std::string> arguments;
    for (std::string const& a : c.arguments) {
      std::string converted;
      for (char const ch : a) converted += ch == '_' ? ' ' : ch;
      arguments.push_back(converted);
    }
    EXPECT_EQ(Process::buildCommandLine(spelled(c.program), arguments), spelled(c.line)) << c.line;
  }
}

TEST(ProcessQuoting, ArgumentsAreConvertedFromUtf8) {
  // "é" is one code unit, U+1F600 a surrogate pair.
  std::wstring const expected = std::wstring(L"p \"caf") + wchar_t(0xE9) + L" " + wchar_t(0xD83D) +
                                wchar_t(0xDE00) + L"\"";
  EXPECT_EQ(Process::buildCommandLine(L"p", {"caf\xc3\xa9 \xf0\x9f\x98\x80"}), expected);
}

TEST(ProcessQuoting, SplittingGivesTheArgumentsBack) {
  std::vector<std::vector<std::string>> const vectors = {
      {},
      {""},
      {"", "", ""},
      {"plain", "two words", "tab\there"},
      {"\"", "\"\"", "a\"b", "\"quoted\""},
      {"trailing\\", "trailing two\\\\", "C:\\dir with blank\\", "\\"},
      {"\\\"", "a\\\\\"b", "\\\\\\", "x \\\" y"},
      {" ", "  leading", "trailing  ", "\t"},
      {"new\nline", "vertical\vtab", "--installer=C:\\Users\\J Doe\\quenza launcher.exe"},
  };
  std::wstring const program = L"C:\\Program Files\\Quenza\\quenza.exe";
  for (auto const& arguments : vectors) {
    std::wstring const line = Process::buildCommandLine(program, arguments);
    std::vector<std::wstring> expected = {program};
    for (std::string const& a : arguments) expected.push_back(utf16(a));

    EXPECT_EQ(TestSupport::splitWindowsCommandLine(line), expected) << "line " << std::string(line.begin(), line.end());
    if (auto const native = nativeSplit(line)) {
      EXPECT_EQ(*native, expected) << "native, line " << std::string(line.begin(), line.end());
    }
  }
}

class ProcessRun : public ::testing::Test {
 protected:
  std::string childTool = toolPath("child_tool");
  std::string recordArgs = toolPath("record_args");
};

TEST_F(ProcessRun, CapturesOutputOfBothStreamsAndTheExitCode) {
  struct Case {
    size_t outBytes;
    size_t errBytes;
    int32_t code;
  };
  // 300,000 bytes are more than any pipe holds: reading must come before waiting.
  Case const cases[] = {{10000, 10, 3}, {0, 0, 0}, {0, 5, 1}, {300000, 0, 0}, {1, 1, 255}};
  for (Case const& c : cases) {
    Process::Result const result = Process::run(
        childTool, {std::to_string(c.outBytes), std::to_string(c.errBytes), std::to_string(c.code)});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, c.code);
    // The child writes all of its standard output before its standard error.
    EXPECT_EQ(result.output, std::string(c.outBytes, 'o') + std::string(c.errBytes, 'e'))
        << c.outBytes << "+" << c.errBytes;
  }
}

TEST_F(ProcessRun, ProgramsThatCannotStart) {
  TempDir dir;
  writeFile(dir.fsPath() / "not_a_program.txt", "just text\n");
  std::string const missing = utf8Of(dir.fsPath() / ("no_such_tool" + exeSuffix()));
  std::string const notProgram = utf8Of(dir.fsPath() / "not_a_program.txt");
  std::string const directory = dir.path();
  for (std::string const& program : {missing, notProgram, directory, std::string(), std::string("\xff\xfe")}) {
    Process::Result const result = Process::run(program, {"a"});
    EXPECT_FALSE(result.started) << program;
    EXPECT_EQ(result.exitCode, -1) << program;
    EXPECT_EQ(result.output, "") << program;
    EXPECT_FALSE(Process::start(program, {"a"})) << program;
  }
}

TEST_F(ProcessRun, ChildReceivesEachArgumentUnchanged) {
  std::vector<std::string> const arguments = {
      "",           "two words", "a\"b",        "trailing\\", "C:\\dir with blank\\",
      "\\\"",       "\t",        "caf\xc3\xa9", "\xe2\x98\x83 snow", "--installer=C:\\Users\\J Doe\\q.exe",
  };
  Process::Result const result = Process::run(recordArgs, arguments);
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0);
  std::vector<Report> const reports = parseReports(result.output);
  ASSERT_EQ(reports.size(), 1u) << result.output;
  EXPECT_EQ(reports[0].program, "record_args");
  EXPECT_EQ(reports[0].arguments, arguments);
  EXPECT_EQ(reports[0].cwd, workingDirectory());
  EXPECT_TRUE(reports[0].complete);
}

// The child waits for a file the test makes only after start has returned: a start that
// waited for the child would come back after the child's 30 s bound, with its report.
TEST_F(ProcessRun, StartReturnsWithoutWaitingAndTheChildRuns) {
  TempDir dir;
  auto const record = dir.fsPath() / "record.txt";
  bool started = false;
  bool reportedEarly = false;
  {
    ScopedVariable file("QUENZA_RECORD_FILE", utf8Of(record));
    ScopedVariable after("QUENZA_RECORD_AFTER", utf8Of(dir.fsPath() / "go"));
    started = Process::start(recordArgs, {"--installer=C:\\a b\\c.exe", ""});
    reportedEarly = !readFile(record).empty();
  }

  ASSERT_TRUE(started);
  EXPECT_FALSE(reportedEarly);
  writeFile(dir.fsPath() / "go", "");
  std::vector<Report> const reports = parseReports(waitForFileEnding(record, "end\n"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].arguments, (std::vector<std::string>{"--installer=C:\\a b\\c.exe", ""}));
  EXPECT_EQ(reports[0].cwd, workingDirectory());
}
