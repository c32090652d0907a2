#include <gtest/gtest.h>

#include <string>

#include "env/identity.h"

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
  // The first value past each table, a large one and the "not detected yet" value.
  for (uint32_t const value : {4u, 5u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(value);
    for (bool const pretty : {false, true}) {
      EXPECT_EQ(appSlugName(static_cast<AppSlug>(value), pretty), "");
      EXPECT_EQ(envChannelName(static_cast<EnvChannel>(value), pretty), "");
      EXPECT_EQ(osTypeName(static_cast<OsType>(value), pretty), "");
      EXPECT_EQ(cpuArchName(static_cast<CpuArch>(value), pretty), "");
    }
  }
  // The three-entry tables end one value earlier.
  for (bool const pretty : {false, true}) {
    EXPECT_EQ(envChannelName(static_cast<EnvChannel>(3), pretty), "");
    EXPECT_EQ(osTypeName(static_cast<OsType>(3), pretty), "");
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
  for (uint32_t const value : {3u, 4u, 0xFFFFFFFFu}) {
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
      {MS_WINDOWS, 7, "quenza-pms.exe"},
      {MS_WINDOWS, 0xFFFFFFFFu, "quenza-pms.exe"},
      {GNU_LINUX, QUENZA_PMS, "quenza-pms"},
      {GNU_LINUX, QUENZA_MAN, "quenzaman"},
      {GNU_LINUX, QUENZA_APP, "quenza"},
      {GNU_LINUX, QUENZA_BO, "quenza-bo"},
      {GNU_LINUX, 4, "quenza-pms"},
      {APPLE_OSX, QUENZA_BO, "quenza-bo"},
      {APPLE_OSX, QUENZA_MAN, "quenzaman"},
      {3, QUENZA_BO, ""},
      {3, QUENZA_PMS, ""},
      {0xFFFFFFFFu, QUENZA_PMS, ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::Message() << "os=" << c.os << " slug=" << c.slug);
    EXPECT_EQ(appFilename(static_cast<OsType>(c.os), static_cast<AppSlug>(c.slug)), c.expected);
  }
}

}  // namespace
