#pragma once
// The product identity tables: editions, channels, platforms and processors with their
// raw names (sent to the OTA server and used in directory names) and pretty names (log
// lines and the error title only), plus the host names and application file names
// derived from them. Every lookup of a value outside its table gives the empty string.
#include <cstdint>
#include <string_view>

enum AppSlug : uint32_t { QUENZA_PMS = 0, QUENZA_MAN = 1, QUENZA_APP = 2, QUENZA_BO = 3 };
enum EnvChannel : uint32_t { PROD = 0, DEMO = 1, DEV = 2 };
enum OsType : uint32_t { MS_WINDOWS = 0, APPLE_OSX = 1, GNU_LINUX = 2 };
enum CpuArch : uint32_t { X86_32 = 0, X86_64 = 1, ARM_32 = 2, ARM_64 = 3 };

std::string_view appSlugName(AppSlug slug, bool pretty);
std::string_view envChannelName(EnvChannel channel, bool pretty);
std::string_view osTypeName(OsType os, bool pretty);
std::string_view cpuArchName(CpuArch arch, bool pretty);

// Bare host name of the channel's OTA server (a build setting).
std::string_view otaHostname(EnvChannel channel);

// Bare host name of the channel's application server (a build setting).
std::string_view channelHost(EnvChannel channel);

// File name of the installed application's executable; an edition outside the table
// counts as QUENZA_PMS, a platform outside the table gives the empty string.
std::string_view appFilename(OsType os, AppSlug slug);
