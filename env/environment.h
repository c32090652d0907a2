#pragma once
// The values found by environment detection, process-wide, set once by the first state
// and read-only afterwards, and the probes and text helpers that find them.
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

// The run's values (tests may set them directly).
EnvironmentValues& environment();

// The platform of this build.
OsType currentOsType();

// The machine's native processor architecture.
CpuArch detectCpuArch();

// "major.minor.patch" of the operating system; empty when it cannot be read.
std::string osVersionString();

// Whether needle occurs in haystack; with ignoreCase only ASCII A-Z are lowered.
bool containsText(std::string_view haystack, std::string_view needle, bool ignoreCase);

// The text as a signed 32-bit decimal ("-" allowed, nothing else), else the fallback.
int32_t parseIntOr(std::string_view text, int32_t fallback);

// Finds every value from the executable path and the machine and logs the seven lines.
void detectEnvironment(std::string const& argv0);
