#include "env/identity.h"

#include "env/deployment.h"

namespace {
struct Names {
  std::string_view raw;
  std::string_view pretty;
};

template <size_t N>
std::string_view pick(Names const (&table)[N], uint32_t value, bool pretty) {
  if (value >= N) return {};
  return pretty ? table[value].pretty : table[value].raw;
}

constexpr Names kSlugs[] = {
    {"QUENZA_PMS", "Quenza Front-Office"},
    {"QUENZA_MAN", "Quenza Manager"},
    {"QUENZA_APP", "myQuenza"},
    {"QUENZA_BO", "Quenza Back-Office"},
};
constexpr Names kChannels[] = {
    {"PROD", "production"},
    {"DEMO", "d\xC3\xA9monstration"},
    {"DEV", "d\xC3\xA9veloppement"},
};
constexpr Names kOsTypes[] = {
    {"MS_WINDOWS", "Windows"},
    {"APPLE_OSX", "macOS"},
    {"GNU_LINUX", "Linux"},
};
constexpr Names kArchs[] = {
    {"X86_32", "x86"},
    {"X86_64", "x86_64"},
    {"ARM_32", "ARMv7"},
    {"ARM_64", "Aarch64"},
};
}  // namespace

std::string_view appSlugName(AppSlug slug, bool pretty) { return pick(kSlugs, slug, pretty); }
std::string_view envChannelName(EnvChannel channel, bool pretty) {
  return pick(kChannels, channel, pretty);
}
std::string_view osTypeName(OsType os, bool pretty) { return pick(kOsTypes, os, pretty); }
std::string_view cpuArchName(CpuArch arch, bool pretty) { return pick(kArchs, arch, pretty); }

std::string_view otaHostname(EnvChannel channel) {
  if (channel > DEV) return {};
  return Deployment::otaHosts[channel];
}

std::string_view channelHost(EnvChannel channel) {
  if (channel > DEV) return {};
  return Deployment::appHosts[channel];
}

std::string_view appFilename(OsType os, AppSlug slug) {
  bool const windows = os == MS_WINDOWS;
  if (!windows && os != APPLE_OSX && os != GNU_LINUX) return {};
  switch (slug) {
    case QUENZA_MAN: return windows ? "quenzaman.exe" : "quenzaman";
    case QUENZA_APP: return windows ? "quenza.exe" : "quenza";
    case QUENZA_BO: return windows ? "quenza-bo.exe" : "quenza-bo";
    default: return windows ? "quenza-pms.exe" : "quenza-pms";
  }
}
