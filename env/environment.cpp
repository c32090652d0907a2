#include "env/environment.h"

#include <string>

#include "base/log.h"
#include "base/text.h"
#include "fs/path.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool nameHas(std::string_view name, std::string_view keyword) { return containsText(name, keyword, true); }

// The value of the first keyword, in the table's order of matching, that the name holds
// (letter case ignored); a name may hold keywords of several values, and a short keyword
// can hide in other words, so that order decides.
template <typename Value, size_t N>
Value valueFromName(std::string_view name, IdentityTable::Keyword<Value> const (&keywords)[N], Value none) {
  for (auto const& keyword : keywords) {
    if (nameHas(name, keyword.text)) return keyword.value;
  }
  return none;
}

// Digits starting at pos without their leading zeros ("0" for all zeros); pos ends after them.
std::string takeNumber(std::string_view text, size_t& pos) {
  size_t const start = pos;
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  std::string_view digits = text.substr(start, pos - start);
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return std::string(digits);
}

}  // namespace

StackNumbers parseStackVersion(std::string_view text) {
  int32_t parts[3] = {0, 0, 0};
  size_t pos = 0;
  for (int32_t& part : parts) {
    // A piece exists while any text is left; an empty piece between two dots is 0.
    if (pos >= text.size()) break;
    size_t dot = text.find('.', pos);
    if (dot == std::string_view::npos) dot = text.size();
    part = parseIntOr(text.substr(pos, dot - pos), 0);
    pos = dot + 1;
  }
  return {parts[0], parts[1], parts[2]};
}

CpuArch cpuArchFromProcessorArchitecture(uint16_t value) {
  // The values of winnt.h, spelled out so that every build compiles and tests this.
  constexpr uint16_t kProcessorArchitectureIntel = 0;   // PROCESSOR_ARCHITECTURE_INTEL
  constexpr uint16_t kProcessorArchitectureArm = 5;     // PROCESSOR_ARCHITECTURE_ARM
  constexpr uint16_t kProcessorArchitectureAmd64 = 9;   // PROCESSOR_ARCHITECTURE_AMD64
  constexpr uint16_t kProcessorArchitectureArm64 = 12;  // PROCESSOR_ARCHITECTURE_ARM64
  switch (value) {
    case kProcessorArchitectureIntel: return X86_32;
    case kProcessorArchitectureArm: return ARM_32;
    case kProcessorArchitectureAmd64: return X86_64;
    case kProcessorArchitectureArm64: return ARM_64;
    default: return X86_64;
  }
}

CpuArch cpuArchFromImageMachine(uint16_t machine) {
  // The values of winnt.h, spelled out so that every build compiles and tests this.
  constexpr uint16_t kImageFileMachineI386 = 0x014C;
  constexpr uint16_t kImageFileMachineArm = 0x01C0;
  constexpr uint16_t kImageFileMachineThumb = 0x01C2;
  constexpr uint16_t kImageFileMachineArmNt = 0x01C4;
  constexpr uint16_t kImageFileMachineAmd64 = 0x8664;
  constexpr uint16_t kImageFileMachineArm64 = 0xAA64;
  switch (machine) {
    case kImageFileMachineI386: return X86_32;
    case kImageFileMachineArm:
    case kImageFileMachineThumb:
    case kImageFileMachineArmNt: return ARM_32;
    case kImageFileMachineAmd64: return X86_64;
    case kImageFileMachineArm64: return ARM_64;
    default: return X86_64;
  }
}

CpuArch cpuArchFromMachine(std::string_view machine) {
  if (machine == "x86_64") return X86_64;
  if (machine == "aarch64" || machine == "arm64") return ARM_64;
  if (machine.starts_with("armv7") || machine.starts_with("armv6")) return ARM_32;
  if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
      machine.substr(2) == "86") {
    return X86_32;
  }
  return X86_64;
}

std::string kernelVersionText(std::string_view release) {
  if (release.empty() || !isDigit(release.front())) return {};
  size_t pos = 0;
  std::string out = takeNumber(release, pos);
  for (int i = 0; i < 2; ++i) {
    out += '.';
    if (pos + 1 < release.size() && release[pos] == '.' && isDigit(release[pos + 1])) {
      ++pos;
      out += takeNumber(release, pos);
    } else {
      // Stop at the first piece that is not a number: "6.1-rc2" is 6.1.0, not 6.1.2.
      pos = release.size();
      out += '0';
    }
  }
  return out;
}

EnvironmentValues detectEnvironmentWith(std::string const& argv0, ProbeAnswers const& probes) {
  // Element 0 is read by the rules of the system it came from: on Linux a backslash is
  // part of the file name.
  FS::PathStyle const style = probes.platform == MS_WINDOWS ? FS::PathStyle::Windows : FS::PathStyle::Posix;
  std::string const name = FS::baseName(style, argv0);
  Log::out("Executable name: " + name);

  EnvironmentValues env;
  env.platform = probes.platform;
  env.cpuArch = probes.cpuArch;
  env.stackVersion = probes.stackVersion;
  StackNumbers const numbers = parseStackVersion(env.stackVersion);
  env.stackMajor = numbers.major;
  env.stackMinor = numbers.minor;
  env.stackPatch = numbers.patch;
  env.channel = valueFromName(name, IdentityTable::kChannelKeywords, IdentityTable::kChannelWithoutKeyword);
  env.otaHost = std::string(otaHostname(env.channel));
  env.edition = valueFromName(name, IdentityTable::kEditionKeywords, IdentityTable::kEditionWithoutKeyword);
  env.appFilename = std::string(appFilename(env.platform, env.edition));

  auto rawAndPretty = [](std::string_view raw, std::string_view pretty) {
    std::string s = "raw=";
    s += raw;
    s += " pretty=";
    s += pretty;
    return s;
  };
  Log::out("App Slug: " + rawAndPretty(appSlugName(env.edition, false), appSlugName(env.edition, true)));
  Log::out("Env Channel: " + rawAndPretty(envChannelName(env.channel, false), envChannelName(env.channel, true)));
  Log::out("OS Type: " + rawAndPretty(osTypeName(env.platform, false), osTypeName(env.platform, true)));
  Log::out("CPU Arch: " + rawAndPretty(cpuArchName(env.cpuArch, false), cpuArchName(env.cpuArch, true)));
  Log::out("Stack Version: raw=" + env.stackVersion + " major=" + std::to_string(env.stackMajor) +
           " minor=" + std::to_string(env.stackMinor) + " patch=" + std::to_string(env.stackPatch));
  Log::out("App filename: " + env.appFilename);
  Log::out("OTA hostname: " + env.otaHost);
  return env;
}

EnvironmentValues detectEnvironment(std::string const& argv0) {
  return detectEnvironmentWith(argv0, {currentOsType(), detectCpuArch(), osVersionString()});
}
