#include "env/identity.h"

#include <iterator>

#include "env/deployment.h"

namespace {
using IdentityTable::Names;

template <size_t N>
std::string_view pick(Names const (&table)[N], uint32_t value, bool pretty) {
  if (value >= N) return {};
  return pretty ? table[value].pretty : table[value].raw;
}

// The generated tables hold one row per value: a row lost on the way is a build error
// here rather than an empty name, or another edition's file, at run time.
static_assert(std::size(IdentityTable::kEditions) == kAppSlugCount);
static_assert(std::size(IdentityTable::kChannels) == kEnvChannelCount);
static_assert(std::size(IdentityTable::kPlatforms) == kOsTypeCount);
static_assert(std::size(IdentityTable::kProcessors) == kCpuArchCount);
static_assert(std::size(IdentityTable::kAppFilenames) == kAppSlugCount);
// A deployment gives the hosts of each channel: a channel added to the table needs its
// hosts in cmake/deployment.cmake and the deployment files.
static_assert(std::size(Deployment::otaHosts) == kEnvChannelCount);
static_assert(std::size(Deployment::appHosts) == kEnvChannelCount);
}  // namespace

std::string_view appSlugName(AppSlug slug, bool pretty) { return pick(IdentityTable::kEditions, slug, pretty); }
std::string_view envChannelName(EnvChannel channel, bool pretty) {
  return pick(IdentityTable::kChannels, channel, pretty);
}
std::string_view osTypeName(OsType os, bool pretty) { return pick(IdentityTable::kPlatforms, os, pretty); }
std::string_view cpuArchName(CpuArch arch, bool pretty) { return pick(IdentityTable::kProcessors, arch, pretty); }

std::string_view otaHostname(EnvChannel channel) {
  if (channel >= kEnvChannelCount) return {};
  return Deployment::otaHosts[channel];
}

std::string_view channelHost(EnvChannel channel) {
  if (channel >= kEnvChannelCount) return {};
  return Deployment::appHosts[channel];
}

std::string_view appFilename(OsType os, AppSlug slug) {
  if (os >= kOsTypeCount || slug >= kAppSlugCount) return {};
  return IdentityTable::kAppFilenames[slug][os];
}
