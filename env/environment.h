#pragma once
// The values found by environment detection, and the probes and helpers that find them.
// Detection returns the values; the run keeps them, read-only after its first state.
#include <cstdint>
#include <string>
#include <string_view>

#include "env/identity.h"

struct EnvironmentValues {
  OsType platform = static_cast<OsType>(0xFFFFFFFFu);
  CpuArch cpuArch = static_cast<CpuArch>(0xFFFFFFFFu);
  std::string stackVersion;
  int32_t stackMajor = 0;
  int32_t stackMinor = 0;
  int32_t stackPatch = 0;
  EnvChannel channel = PROD;
  std::string otaHost;
  AppSlug edition = QUENZA_PMS;
  std::string appFilename;
};

// The platform of this build.
OsType currentOsType();

// The machine's native processor architecture.
CpuArch detectCpuArch();

// "major.minor.patch" of the operating system; empty when it cannot be read.
std::string osVersionString();

// Finds every value from the executable path and the machine's probes, writes
// "Executable name: " and the seven value lines, and returns the values.
EnvironmentValues detectEnvironment(std::string const& argv0);

// What the three machine probes answered; detectEnvironment asks the real probes, tests
// hand in their own answers.
struct ProbeAnswers {
  OsType platform;
  CpuArch cpuArch;
  std::string stackVersion;
};

// detectEnvironment with given probe answers: every value is found anew (channel,
// edition and stack numbers start from their defaults), the same lines are written.
EnvironmentValues detectEnvironmentWith(std::string const& argv0, ProbeAnswers const& probes);

struct StackNumbers {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
};

// The first three "."-separated pieces of a version text, each through parseIntOr with
// fallback 0; a piece the text has run out before stays 0, pieces after the third are
// ignored.
StackNumbers parseStackVersion(std::string_view text);

// Probe helpers, platform-free so that both builds test them.

// Windows' native wProcessorArchitecture: 0 X86_32, 5 ARM_32, 9 X86_64, 12 ARM_64,
// anything else X86_64.
CpuArch cpuArchFromProcessorArchitecture(uint16_t value);

// A Windows machine type (IMAGE_FILE_MACHINE_*), as IsWow64Process2 names the native
// machine: I386 (0x014C) X86_32; ARM (0x01C0), THUMB (0x01C2) and ARMNT (0x01C4) ARM_32;
// AMD64 (0x8664) X86_64; ARM64 (0xAA64) ARM_64; anything else X86_64.
CpuArch cpuArchFromImageMachine(uint16_t machine);

// uname's machine field: "x86_64"; "aarch64" or "arm64"; "armv7..." or "armv6...";
// "i386" to "i686"; anything else counts as X86_64.
CpuArch cpuArchFromMachine(std::string_view machine);

// The leading numbers of a kernel release ("6.1.0-18-amd64") as "major.minor.patch"
// ("6.1.0"), missing numbers written as 0 ("6.1-rc2" gives "6.1.0"), leading zeros
// dropped; empty when the release does not start with a digit.
std::string kernelVersionText(std::string_view release);
