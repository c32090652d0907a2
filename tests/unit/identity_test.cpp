#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "env/environment.h"
#include "env/identity.h"
#include "json/json.h"

namespace {

struct NameCase {
  uint32_t value;
  std::string_view raw;
  std::string_view pretty;
};

TEST(IdentityTest, EditionNames) {
  NameCase const cases[] = {
      {0, "QUENZA_PMS", "Quenza Front-Office"},
      {1, "QUENZA_MAN", "Quenza Manager"},
      {2, "QUENZA_APP", "myQuenza"},
      {3, "QUENZA_BO", "Quenza Back-Office"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(appSlugName(static_cast<AppSlug>(c.value), false), c.raw);
    EXPECT_EQ(appSlugName(static_cast<AppSlug>(c.value), true), c.pretty);
  }
}

TEST(IdentityTest, ChannelNamesAreFrenchUtf8) {
  NameCase const cases[] = {
      {0, "PROD", "production"},
      {1, "DEMO", "d\xC3\xA9monstration"},
      {2, "DEV", "d\xC3\xA9veloppement"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(envChannelName(static_cast<EnvChannel>(c.value), false), c.raw);
    EXPECT_EQ(envChannelName(static_cast<EnvChannel>(c.value), true), c.pretty);
  }
  // "é" is two bytes, so both accented names are 14 bytes long.
  EXPECT_EQ(envChannelName(DEMO, true).size(), 14u);
  EXPECT_EQ(envChannelName(DEV, true).size(), 14u);
}

TEST(IdentityTest, PlatformAndProcessorNames) {
  NameCase const platforms[] = {
      {0, "MS_WINDOWS", "Windows"},
      {1, "APPLE_OSX", "macOS"},
      {2, "GNU_LINUX", "Linux"},
  };
  for (auto const& c : platforms) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(osTypeName(static_cast<OsType>(c.value), false), c.raw);
    EXPECT_EQ(osTypeName(static_cast<OsType>(c.value), true), c.pretty);
  }
  NameCase const archs[] = {
      {0, "X86_32", "x86"},
      {1, "X86_64", "x86_64"},
      {2, "ARM_32", "ARMv7"},
      {3, "ARM_64", "Aarch64"},
  };
  for (auto const& c : archs) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(cpuArchName(static_cast<CpuArch>(c.value), false), c.raw);
    EXPECT_EQ(cpuArchName(static_cast<CpuArch>(c.value), true), c.pretty);
  }
}

TEST(IdentityTest, ValuesOutsideTheTablesGiveEmptyNames) {
  // The first two values past each table, a large one and the "not detected yet" value.
  for (uint32_t const past : {0u, 1u}) {
    for (bool const pretty : {false, true}) {
      EXPECT_EQ(appSlugName(static_cast<AppSlug>(kAppSlugCount + past), pretty), "");
      EXPECT_EQ(envChannelName(static_cast<EnvChannel>(kEnvChannelCount + past), pretty), "");
      EXPECT_EQ(osTypeName(static_cast<OsType>(kOsTypeCount + past), pretty), "");
      EXPECT_EQ(cpuArchName(static_cast<CpuArch>(kCpuArchCount + past), pretty), "");
    }
  }
  for (uint32_t const value : {1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(value);
    for (bool const pretty : {false, true}) {
      EXPECT_EQ(appSlugName(static_cast<AppSlug>(value), pretty), "");
      EXPECT_EQ(envChannelName(static_cast<EnvChannel>(value), pretty), "");
      EXPECT_EQ(osTypeName(static_cast<OsType>(value), pretty), "");
      EXPECT_EQ(cpuArchName(static_cast<CpuArch>(value), pretty), "");
    }
  }
}

TEST(IdentityTest, HostNamesOfTheLoopbackDeployment) {
  // The unit tests link the loopback deployment's values.
  EXPECT_EQ(otaHostname(PROD), "ota-prod.localhost");
  EXPECT_EQ(otaHostname(DEMO), "ota-demo.localhost");
  EXPECT_EQ(otaHostname(DEV), "ota-dev.localhost");
  EXPECT_EQ(channelHost(PROD), "app-prod.localhost");
  EXPECT_EQ(channelHost(DEMO), "app-demo.localhost");
  EXPECT_EQ(channelHost(DEV), "app-dev.localhost");
  for (uint32_t const value : {kEnvChannelCount, kEnvChannelCount + 1, 0xFFFFFFFFu}) {
    EXPECT_EQ(otaHostname(static_cast<EnvChannel>(value)), "");
    EXPECT_EQ(channelHost(static_cast<EnvChannel>(value)), "");
  }
}

TEST(IdentityTest, ApplicationFileNames) {
  struct Case {
    uint32_t os;
    uint32_t slug;
    std::string_view expected;
  };
  Case const cases[] = {
      {MS_WINDOWS, QUENZA_PMS, "quenza-pms.exe"},
      {MS_WINDOWS, QUENZA_MAN, "quenzaman.exe"},
      {MS_WINDOWS, QUENZA_APP, "quenza.exe"},
      {MS_WINDOWS, QUENZA_BO, "quenza-bo.exe"},
      // An edition outside the table is no edition: its file name would be another's.
      {MS_WINDOWS, 7, ""},
      {MS_WINDOWS, 0xFFFFFFFFu, ""},
      {GNU_LINUX, QUENZA_PMS, "quenza-pms"},
      {GNU_LINUX, QUENZA_MAN, "quenzaman"},
      {GNU_LINUX, QUENZA_APP, "quenza"},
      {GNU_LINUX, QUENZA_BO, "quenza-bo"},
      {GNU_LINUX, kAppSlugCount, ""},
      {APPLE_OSX, QUENZA_BO, "quenza-bo"},
      {APPLE_OSX, QUENZA_MAN, "quenzaman"},
      {kOsTypeCount, QUENZA_BO, ""},
      {kOsTypeCount, QUENZA_PMS, ""},
      {0xFFFFFFFFu, QUENZA_PMS, ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::Message() << "os=" << c.os << " slug=" << c.slug);
    EXPECT_EQ(appFilename(static_cast<OsType>(c.os), static_cast<AppSlug>(c.slug)), c.expected);
  }
}

// The tables built into the launcher against the file they are built from: every name
// and file name arrives, every keyword stands for its own entry (none is hidden by one
// tried before it), and every named copy of a release stands for its edition and channel.
TEST(IdentityTest, EveryEntryOfTheTableFile) {
  std::ifstream in(std::string(QUENZA_SOURCE_DIR) + "/env/identity.json", std::ios::binary);
  std::vector<uint8_t> const bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  JSON::ParseResult const table = JSON::parseObject(bytes);
  ASSERT_EQ(table.error, "");
  auto section = [&](char const* name) { return table.object.at(name).get<picojson::array>(); };
  auto text = [](picojson::value const& entry, std::string const& member) {
    return entry.get(member).get<std::string>();
  };
  struct Names {
    char const* section;
    uint32_t count;
    std::string_view (*name)(uint32_t value, bool pretty);
    uint32_t (*detected)(EnvironmentValues const& env);  // for the sections with keywords
  };
  Names const tables[] = {
      {"editions", kAppSlugCount, [](uint32_t v, bool p) { return appSlugName(static_cast<AppSlug>(v), p); },
       [](EnvironmentValues const& env) { return uint32_t{env.edition}; }},
      {"channels", kEnvChannelCount, [](uint32_t v, bool p) { return envChannelName(static_cast<EnvChannel>(v), p); },
       [](EnvironmentValues const& env) { return uint32_t{env.channel}; }},
      {"platforms", kOsTypeCount, [](uint32_t v, bool p) { return osTypeName(static_cast<OsType>(v), p); }, nullptr},
      {"processors", kCpuArchCount, [](uint32_t v, bool p) { return cpuArchName(static_cast<CpuArch>(v), p); },
       nullptr},
  };
  std::string out, err;
  Log::Capture capture(out, err);
  auto detect = [](std::string const& name, OsType os) { return detectEnvironmentWith(name, {os, X86_64, "1.2.3"}); };
  for (auto const& t : tables) {
    picojson::array const entries = section(t.section);
    ASSERT_EQ(entries.size(), t.count) << t.section;
    for (uint32_t value = 0; value < t.count; ++value) {
      SCOPED_TRACE(testing::Message() << t.section << " " << value);
      EXPECT_EQ(t.name(value, false), text(entries[value], "raw"));
      EXPECT_EQ(t.name(value, true), text(entries[value], "pretty"));
      if (t.detected == nullptr) continue;
      for (picojson::value const& keyword : entries[value].get("keywords").get<picojson::array>()) {
        EXPECT_EQ(t.detected(detect(keyword.get<std::string>(), MS_WINDOWS)), value) << keyword.get<std::string>();
      }
    }
  }
  picojson::array const editions = section("editions");
  picojson::array const channels = section("channels");
  for (uint32_t edition = 0; edition < kAppSlugCount; ++edition) {
    for (uint32_t os = 0; os < kOsTypeCount; ++os) {
      std::string const platform(osTypeName(static_cast<OsType>(os), false));
      EXPECT_EQ(appFilename(static_cast<OsType>(os), static_cast<AppSlug>(edition)),
                editions[edition].get("app").get(platform).get<std::string>());
    }
    for (uint32_t channel = 0; channel < kEnvChannelCount; ++channel) {
      std::string const stem = text(editions[edition], "copy_stem") + text(channels[channel], "copy_suffix");
      std::string lower = stem;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (auto const& [name, os] : {std::pair{stem + ".exe", MS_WINDOWS}, std::pair{lower, GNU_LINUX}}) {
        SCOPED_TRACE(name);
        EnvironmentValues const env = detect(name, os);
        EXPECT_EQ(env.edition, edition);
        EXPECT_EQ(env.channel, channel);
      }
    }
  }
}

}  // namespace
