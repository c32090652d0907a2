#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <string>
#include <vector>

#include "base/log.h"
#include "env/environment.h"
#include "support/lines.h"

namespace {

using TestSupport::splitLines;

TEST(StackVersionTest, ParsesThreePieces) {
  struct Case {
    std::string_view text;
    int32_t major, minor, patch;
  };
  Case const cases[] = {
      {"10.0.22631", 10, 0, 22631},
      {"10.0.19045", 10, 0, 19045},
      {"6.1.0", 6, 1, 0},
      {"", 0, 0, 0},
      {"10", 10, 0, 0},
      {"10.2", 10, 2, 0},
      {"10.", 10, 0, 0},
      {"1..3", 1, 0, 3},
      {"..", 0, 0, 0},
      {"1.2.3.4", 1, 2, 3},
      {"1.2.3.x", 1, 2, 3},
      {"a.2.b", 0, 2, 0},
      {"-1.-2.-3", -1, -2, -3},
      {"1.2.3-rc1", 1, 2, 0},
      {"99999999999.1.1", 0, 1, 1},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    StackNumbers const n = parseStackVersion(c.text);
    EXPECT_EQ(n.major, c.major);
    EXPECT_EQ(n.minor, c.minor);
    EXPECT_EQ(n.patch, c.patch);
  }
}

TEST(ProbeHelpersTest, WindowsProcessorArchitecture) {
  struct Case {
    uint16_t value;
    CpuArch expected;
  };
  Case const cases[] = {
      {0, X86_32}, {5, ARM_32}, {9, X86_64}, {12, ARM_64},
      // Itanium, the unknown marker and anything else count as x86-64.
      {6, X86_64}, {0xFFFF, X86_64}, {1, X86_64}, {13, X86_64},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(cpuArchFromProcessorArchitecture(c.value), c.expected);
  }
}

// The native machine as IsWow64Process2 names it: an x64 launcher emulated on an ARM64
// machine must report ARM_64 ("Aarch64" in the error title).
TEST(ProbeHelpersTest, WindowsImageMachine) {
  struct Case {
    uint16_t machine;
    CpuArch expected;
  };
  Case const cases[] = {
      {0xAA64, ARM_64}, {0x8664, X86_64}, {0x014C, X86_32}, {0x01C4, ARM_32}, {0x01C0, ARM_32}, {0x01C2, ARM_32},
      // Unknown, Itanium, ARM64EC-looking and byte-swapped values count as x86-64.
      {0x0000, X86_64}, {0x0200, X86_64}, {0xA641, X86_64}, {0x64AA, X86_64}, {0x4C01, X86_64}, {12, X86_64},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.machine);
    EXPECT_EQ(cpuArchFromImageMachine(c.machine), c.expected);
  }
}

TEST(ProbeHelpersTest, UnameMachine) {
  struct Case {
    std::string_view machine;
    CpuArch expected;
  };
  Case const cases[] = {
      {"x86_64", X86_64},  {"aarch64", ARM_64}, {"arm64", ARM_64},  {"armv7l", ARM_32},
      {"armv7", ARM_32},   {"armv6l", ARM_32},  {"i386", X86_32},   {"i486", X86_32},
      {"i586", X86_32},    {"i686", X86_32},    {"i786", X86_64},   {"i86", X86_64},
      {"i6866", X86_64},   {"armv8l", X86_64},  {"riscv64", X86_64}, {"", X86_64},
      {"X86_64", X86_64},  {"AARCH64", X86_64}, {"ppc64le", X86_64},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.machine);
    EXPECT_EQ(cpuArchFromMachine(c.machine), c.expected);
  }
}

TEST(ProbeHelpersTest, KernelReleaseToVersionText) {
  struct Case {
    std::string_view release;
    std::string_view expected;
  };
  Case const cases[] = {
      {"6.1.0-18-amd64", "6.1.0"},
      {"6.12.48+deb13-amd64", "6.12.48"},
      {"5.15.167.4-microsoft-standard-WSL2", "5.15.167"},
      {"6.8.0", "6.8.0"},
      {"6.1", "6.1.0"},
      {"6.1-rc2", "6.1.0"},
      {"6", "6.0.0"},
      {"6.", "6.0.0"},
      {"6.x.3", "6.0.0"},
      {"06.01.002", "6.1.2"},
      {"0.0.0", "0.0.0"},
      {"", ""},
      {"v6.1.0", ""},
      {"-6.1.0", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.release);
    EXPECT_EQ(kernelVersionText(c.release), c.expected);
  }
}

class DetectionTest : public testing::Test {
 protected:
  std::string out_;
  std::string err_;
  Log::Capture capture_{out_, err_};
};

TEST_F(DetectionTest, ExecutableNamesPickChannelAndEdition) {
  struct Case {
    std::string_view name;
    EnvChannel channel;
    AppSlug edition;
    OsType platform = MS_WINDOWS;
  };
  Case const cases[] = {
      {"Quenza-Demo-BackOffice.exe", DEMO, QUENZA_BO},
      {"quenza-bo.exe", PROD, QUENZA_BO},
      {"QuenzaManager-dev.exe", DEV, QUENZA_MAN},
      {"myquenza_demo.exe", DEMO, QUENZA_APP},
      {"MYQUENZA_DEMO.EXE", DEMO, QUENZA_APP},
      {"MyQuenza_Demo.Exe", DEMO, QUENZA_APP},
      {"setup.exe", PROD, QUENZA_PMS},
      {"", PROD, QUENZA_PMS},
      {"QUENZA-DEV.EXE", DEV, QUENZA_PMS},
      // Keyword precedence.
      {"demo-dev.exe", DEMO, QUENZA_PMS},
      {"dev-demo.exe", DEMO, QUENZA_PMS},
      {"app-manager.exe", PROD, QUENZA_MAN},
      {"bo-app.exe", PROD, QUENZA_APP},
      {"myquenza-back.exe", PROD, QUENZA_APP},
      {"ebook.exe", PROD, QUENZA_BO},
      {"BOOTSTRAP.EXE", PROD, QUENZA_BO},
      {"Quenza-BACK.exe", PROD, QUENZA_BO},
      // "Development" holds "dev"; "démo" with an accent is not "demo".
      {"Quenza-Development.exe", DEV, QUENZA_PMS},
      {"quenza-d\xC3\xA9mo.exe", PROD, QUENZA_PMS},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    EnvironmentValues const env = detectEnvironmentWith(std::string(c.name), {MS_WINDOWS, X86_64, "10.0.19045"});
    EXPECT_EQ(env.channel, c.channel);
    EXPECT_EQ(env.edition, c.edition);
    EXPECT_EQ(env.otaHost, otaHostname(c.channel));
    EXPECT_EQ(env.appFilename, appFilename(MS_WINDOWS, c.edition));
  }
}

TEST_F(DetectionTest, OnlyTheLastPathComponentIsMatched) {
  struct Case {
    std::string_view argv0;
    std::string_view name;
    EnvChannel channel;
    AppSlug edition;
    OsType platform = MS_WINDOWS;
  };
  Case const cases[] = {
      {"C:\\Users\\demo\\Downloads\\quenza-bo.exe", "quenza-bo.exe", PROD, QUENZA_BO},
      {"C:/Users/dev/AppData/quenza-bo.exe", "quenza-bo.exe", PROD, QUENZA_BO},
      {"D:\\manager\\app\\setup.exe", "setup.exe", PROD, QUENZA_PMS},
      {"/home/demo/apps/setup", "setup", PROD, QUENZA_PMS},
      {"/opt/dev\\mixed/QuenzaManager-dev", "QuenzaManager-dev", DEV, QUENZA_MAN},
      {"./Quenza-Demo-BackOffice", "Quenza-Demo-BackOffice", DEMO, QUENZA_BO},
      {"\\\\server\\demo\\quenza.exe", "quenza.exe", PROD, QUENZA_PMS},
      {"C:\\dir\\setup.exe\\", "setup.exe", PROD, QUENZA_PMS},
      // A Linux file name may hold a backslash.
      {"/opt/Quenza-Manager\\setup-dev", "Quenza-Manager\\setup-dev", DEV, QUENZA_MAN, GNU_LINUX},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.argv0);
    out_.clear();
    EnvironmentValues const env = detectEnvironmentWith(std::string(c.argv0), {c.platform, X86_64, "10.0.19045"});
    ASSERT_FALSE(splitLines(out_).empty());
    EXPECT_EQ(splitLines(out_)[0], "Executable name: " + std::string(c.name));
    EXPECT_EQ(env.channel, c.channel);
    EXPECT_EQ(env.edition, c.edition);
  }
}

TEST_F(DetectionTest, WritesTheLinesInOrder) {
  EnvironmentValues const env =
      detectEnvironmentWith("C:\\Downloads\\Quenza-Demo-BackOffice.exe", {MS_WINDOWS, X86_64, "10.0.22631"});
  std::vector<std::string> const expected = {
      "Executable name: Quenza-Demo-BackOffice.exe",
      "App Slug: raw=QUENZA_BO pretty=Quenza Back-Office",
      "Env Channel: raw=DEMO pretty=d\xC3\xA9monstration",
      "OS Type: raw=MS_WINDOWS pretty=Windows",
      "CPU Arch: raw=X86_64 pretty=x86_64",
      "Stack Version: raw=10.0.22631 major=10 minor=0 patch=22631",
      "App filename: quenza-bo.exe",
      "OTA hostname: ota-demo.localhost",
  };
  EXPECT_EQ(splitLines(out_), expected);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(env.platform, MS_WINDOWS);
  EXPECT_EQ(env.cpuArch, X86_64);
  EXPECT_EQ(env.stackVersion, "10.0.22631");
  EXPECT_EQ(env.stackMajor, 10);
  EXPECT_EQ(env.stackMinor, 0);
  EXPECT_EQ(env.stackPatch, 22631);
}

TEST_F(DetectionTest, LinuxAndUnreadableVersion) {
  detectEnvironmentWith("/usr/local/bin/QuenzaManager-dev", {GNU_LINUX, ARM_64, ""});
  std::vector<std::string> const expected = {
      "Executable name: QuenzaManager-dev",
      "App Slug: raw=QUENZA_MAN pretty=Quenza Manager",
      "Env Channel: raw=DEV pretty=d\xC3\xA9veloppement",
      "OS Type: raw=GNU_LINUX pretty=Linux",
      "CPU Arch: raw=ARM_64 pretty=Aarch64",
      "Stack Version: raw= major=0 minor=0 patch=0",
      "App filename: quenzaman",
      "OTA hostname: ota-dev.localhost",
  };
  EXPECT_EQ(splitLines(out_), expected);
}

TEST_F(DetectionTest, NegativeAndOddVersionNumbersAreLoggedAsParsed) {
  detectEnvironmentWith("setup.exe", {MS_WINDOWS, X86_32, "-1.x"});
  auto const l = splitLines(out_);
  ASSERT_GE(l.size(), 8u);
  EXPECT_EQ(l[4], "CPU Arch: raw=X86_32 pretty=x86");
  EXPECT_EQ(l[5], "Stack Version: raw=-1.x major=-1 minor=0 patch=0");
  EXPECT_EQ(l[6], "App filename: quenza-pms.exe");
  EXPECT_EQ(l[7], "OTA hostname: ota-prod.localhost");
}

TEST_F(DetectionTest, RealProbesOfThisBuild) {
  EnvironmentValues const env = detectEnvironment("quenza-bo");
  EXPECT_EQ(env.platform, currentOsType());
  EXPECT_EQ(env.cpuArch, detectCpuArch());
  EXPECT_EQ(env.stackVersion, osVersionString());
  EXPECT_NE(cpuArchName(env.cpuArch, false), "");

  // Both builds give three unsigned decimals without leading zeros.
  std::string const version = osVersionString();
  ASSERT_FALSE(version.empty());
  int dots = 0;
  for (size_t i = 0; i < version.size(); ++i) {
    char const c = version[i];
    if (c == '.') {
      ++dots;
      continue;
    }
    ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << version;
    bool const startsPiece = i == 0 || version[i - 1] == '.';
    bool const endsPiece = i + 1 == version.size() || version[i + 1] == '.';
    if (startsPiece && !endsPiece) EXPECT_NE(c, '0') << version;
  }
  EXPECT_EQ(dots, 2) << version;
  EXPECT_EQ(std::to_string(env.stackMajor) + "." + std::to_string(env.stackMinor) + "." +
                std::to_string(env.stackPatch),
            version);
}

}  // namespace
