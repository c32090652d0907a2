// The resources embedded in the unit-test binary, as in every launcher: found by number,
// of the expected sizes, and byte for byte the committed files.
#include "resources/resources.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

uint64_t fileSize(std::string const& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<uint64_t>(in.tellg()) : 0;
}

TEST(Resources, DataResourcesAreFoundWithTheirSizes) {
  struct Case {
    int id;
    uint64_t size;
  } const cases[] = {
      {Resources::LogoTile, 262144},
      {Resources::ProgressArt, 819200},
      {Resources::ErrorArt, 819200},
      {Resources::CaBundle, fileSize(std::string(QUENZA_E2E_CA_DIR) + "/ca.pem")},
  };
  for (Case const& c : cases) {
    Resources::Range const r = Resources::find(c.id);
    ASSERT_FALSE(r.empty()) << c.id;
    EXPECT_NE(c.size, 0u) << c.id;
    EXPECT_EQ(r.size(), c.size) << c.id;
    EXPECT_EQ(Resources::find(c.id).first, r.first) << "a view into the image, never a copy: " << c.id;
  }
  EXPECT_TRUE(Resources::find(106).empty());
  EXPECT_TRUE(Resources::find(0).empty());
}

TEST(Resources, ArtworkIsOpaqueAndTheLogoTileHasRealTransparency) {
  for (int id : {Resources::ProgressArt, Resources::ErrorArt}) {
    Resources::Range const r = Resources::find(id);
    std::set<uint8_t> alphas;
    for (uint8_t const* p = r.first + 3; p < r.end; p += 4) alphas.insert(*p);
    EXPECT_EQ(alphas, std::set<uint8_t>{255}) << id;
  }
  Resources::Range const logo = Resources::find(Resources::LogoTile);
  std::set<uint8_t> alphas;
  for (uint8_t const* p = logo.first + 3; p < logo.end; p += 4) alphas.insert(*p);
  EXPECT_TRUE(alphas.count(0) && alphas.count(255));
  EXPECT_GT(alphas.size(), 2u) << "anti-aliased edges";
}

TEST(Resources, EmbeddedArtworkEqualsTheCommittedFiles) {
  struct Case {
    int id;
    char const* file;
  } const cases[] = {
      {Resources::ProgressArt, "progress.rgba"},
      {Resources::ErrorArt, "error.rgba"},
      {Resources::LogoTile, "logo.rgba"},
  };
  for (Case const& c : cases) {
    std::ifstream in(std::string(QUENZA_SOURCE_DIR) + "/resources/" + c.file, std::ios::binary);
    std::vector<uint8_t> const file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Resources::Range const r = Resources::find(c.id);
    EXPECT_TRUE(std::vector<uint8_t>(r.first, r.end) == file) << c.file;
  }
}

}  // namespace
