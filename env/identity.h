#pragma once
// The product identity tables: editions, channels, platforms and processors with their
// raw names (sent to the OTA server and used in directory names) and pretty names (log
// lines and the error title only), plus the host names and application file names
// derived from them. The enumerations and the tables behind these lookups are generated
// from env/identity.json. Every lookup of a value outside its table gives the empty string.
#include <cstdint>
#include <string_view>

#include "env/identity_table.h"

std::string_view appSlugName(AppSlug slug, bool pretty);
std::string_view envChannelName(EnvChannel channel, bool pretty);
std::string_view osTypeName(OsType os, bool pretty);
std::string_view cpuArchName(CpuArch arch, bool pretty);

// Bare host name of the channel's OTA server (a build setting).
std::string_view otaHostname(EnvChannel channel);

// Bare host name of the channel's application server (a build setting).
std::string_view channelHost(EnvChannel channel);

// File name of the installed application's executable; the empty string when the
// platform or the edition is outside its table.
std::string_view appFilename(OsType os, AppSlug slug);
