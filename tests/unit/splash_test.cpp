// The window-free part of the splash. No window is made here: the window itself is
// exercised under a display by tests/e2e/test_splash_window.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "resources/resources.h"
#include "ui/splash.h"
#include "ui/splash_logic.h"

namespace {

using Splash::Image;
namespace detail = Splash::detail;

// Each test works on a window state of its own, as each backend keeps one of its own.
class SplashTest : public testing::Test {
 protected:
  detail::State state;
};

// An image over a byte vector of the given length, filled with a recognisable pattern.
struct OwnedImage {
  std::vector<uint8_t> bytes;
  Image image;
  OwnedImage(uint32_t width, uint32_t height, size_t length) : bytes(length) {
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    image = Image{width, height, bytes.data(), bytes.data() + bytes.size()};
  }
};

// A picture that is already shown, so that an ignored image visibly changes nothing.
void showTwoByOne(detail::State& state) {
  static uint8_t const bytes[] = {1, 2, 3, 255, 4, 5, 6, 255};
  static Image const image{2, 1, bytes, bytes + sizeof bytes};
  ASSERT_TRUE(detail::applyImage(state, image));
}

TEST_F(SplashTest, ByteCountOfARange) {
  uint8_t buffer[16] = {};
  struct Case {
    char const* what;
    uint8_t const* first;
    uint8_t const* end;
    uint64_t expected;
  } const cases[] = {
      {"whole buffer", buffer, buffer + 16, 16},
      {"one byte", buffer, buffer + 1, 1},
      {"empty range", buffer, buffer, 0},
      {"end before first", buffer + 8, buffer, 0},
      {"no first", nullptr, buffer + 8, 0},
      {"no end", buffer, nullptr, 0},
      {"both null", nullptr, nullptr, 0},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(detail::byteCount(Image{4, 1, c.first, c.end}), c.expected) << c.what;
  }
}

TEST_F(SplashTest, OnlyImagesOfExactlyWidthTimesHeightTimesFourBytesAreApplied) {
  struct Case {
    char const* what;
    uint32_t width;
    uint32_t height;
    size_t length;
    bool applied;
  } const cases[] = {
      {"the artwork size", 640, 320, 819200, true},
      {"one byte short", 640, 320, 819199, false},
      {"one byte over", 640, 320, 819201, false},
      {"width 0", 0, 320, 819200, false},
      {"height 0", 640, 0, 819200, false},
      {"width 0 and no bytes", 0, 320, 0, false},
      {"no bytes", 640, 320, 0, false},
      {"a single pixel", 1, 1, 4, true},
      // 65536 x 65536 wraps to 0 in 32 bits: an empty range would match the product.
      {"sides whose product wraps", 65536, 65536, 0, false},
      {"product wrapping to one pixel", 0xFFFFFFFF, 0xFFFFFFFF, 4, false},
  };
  for (Case const& c : cases) {
    state = detail::State{};
    showTwoByOne(state);
    std::vector<uint32_t> const before = state.pixels;
    OwnedImage owned(c.width, c.height, c.length);
    if (c.length == 0) owned.image.first = owned.image.end = nullptr;
    EXPECT_EQ(detail::applyImage(state, owned.image), c.applied) << c.what;
    if (c.applied) {
      EXPECT_EQ(state.width, c.width) << c.what;
      EXPECT_EQ(state.height, c.height) << c.what;
      EXPECT_EQ(state.pixels.size(), uint64_t{c.width} * c.height) << c.what;
      EXPECT_TRUE(detail::pictureReady(state)) << c.what;
    } else {
      EXPECT_EQ(state.width, 2u) << c.what;
      EXPECT_EQ(state.height, 1u) << c.what;
      EXPECT_EQ(state.pixels, before) << c.what;
    }
  }
}

TEST_F(SplashTest, PixelsBecomeZeroRedGreenBlueWithTheAlphaDropped) {
  uint8_t const bytes[] = {
      0x11, 0x22, 0x33, 0x44,  // the example pixel
      0xFF, 0xFF, 0xFF, 0xFF,  // opaque white: the top byte stays 0
      0x00, 0x00, 0x00, 0x00,  // transparent black
      0x80, 0x00, 0x01, 0xFF,  // red high, blue low: no sign extension, order kept
      0x01, 0x02, 0x03, 0x04,  // second row
      0xA0, 0xB0, 0xC0, 0xD0,
  };
  Image const image{3, 2, bytes, bytes + sizeof bytes};
  ASSERT_TRUE(detail::applyImage(state, image));
  std::vector<uint32_t> const expected = {0x00112233, 0x00FFFFFF, 0x00000000, 0x00800001, 0x00010203, 0x00A0B0C0};
  EXPECT_EQ(state.pixels, expected);
}

TEST_F(SplashTest, PictureReadyOnlyWhenTheBufferMatchesTheCurrentSize) {
  EXPECT_FALSE(detail::pictureReady(state));
  // create sets the client size before any picture is converted
  state.width = 640;
  state.height = 320;
  EXPECT_FALSE(detail::pictureReady(state));
  showTwoByOne(state);
  EXPECT_TRUE(detail::pictureReady(state));
  state.width = 640;  // a size changed without a matching buffer is never drawn
  EXPECT_FALSE(detail::pictureReady(state));
}

TEST_F(SplashTest, TitleIsStoredAsACopy) {
  std::string title = "Installation de Quenza, veuillez patienter...";
  detail::storeTitle(state, title);
  title = "changed";
  EXPECT_EQ(state.title, "Installation de Quenza, veuillez patienter...");
  detail::storeTitle(state, state.title);  // the stored title itself
  EXPECT_EQ(state.title, "Installation de Quenza, veuillez patienter...");
  detail::storeTitle(state, "");
  EXPECT_EQ(state.title, "");
}

TEST_F(SplashTest, ShownTitleIsEmptyForInvalidUtf8) {
  struct Case {
    std::string utf8;
    std::string shown;
  } const cases[] = {
      {"Erreur d'installation de Quenza (Linux x86_64 6.1.0)", "Erreur d'installation de Quenza (Linux x86_64 6.1.0)"},
      {"d\xC3\xA9monstration", "d\xC3\xA9monstration"},
      {"", ""},
      {"caf\xE9", ""},          // Latin-1 byte, not UTF-8
      {"\xC0\xAF", ""},         // overlong form
      {"abc\xE2\x82", ""},      // truncated sequence
  };
  for (Case const& c : cases) EXPECT_EQ(detail::shownTitle(c.utf8), c.shown) << c.utf8;
}

TEST_F(SplashTest, Latin1TitleWhenEveryCharacterFits) {
  struct Case {
    std::string utf8;
    bool fits;
    std::string latin1;
  } const cases[] = {
      {"Installation de Quenza", true, "Installation de Quenza"},
      {"fen\xC3\xAAtre \xC3\xA9" "diteur", true, "fen\xEAtre \xE9" "diteur"},
      {"\xC3\xBF", true, "\xFF"},                       // U+00FF, the last that fits
      {"co\xC3\xBBt 5 \xE2\x82\xAC", false, ""},        // the euro sign does not fit
      {"\xF0\x9F\x98\x80", false, ""},                  // outside the basic plane
      {"caf\xE9", true, ""},                            // invalid UTF-8 is the empty title
  };
  for (Case const& c : cases) {
    std::string latin1 = "previous";
    EXPECT_EQ(detail::latin1Title(c.utf8, latin1), c.fits) << c.utf8;
    if (c.fits) EXPECT_EQ(latin1, c.latin1) << c.utf8;
  }
}

TEST_F(SplashTest, CentringTruncatesTowardZero) {
  struct Case {
    int32_t screenW, screenH, outerW, outerH;
    int32_t x, y;
  } const cases[] = {
      {1920, 1080, 656, 359, 632, 360},
      {1280, 1024, 640, 320, 320, 352},
      {640, 320, 640, 320, 0, 0},
      {641, 321, 640, 320, 0, 0},       // half a pixel rounds down
      {640, 480, 656, 359, -8, 60},     // narrower screen: negative x
      {600, 300, 656, 359, -28, -29},   // -59 / 2 is -29, not -30
      {0, 0, 656, 359, -328, -179},
  };
  for (Case const& c : cases) {
    detail::Point const p = detail::centredOrigin(c.screenW, c.screenH, c.outerW, c.outerH);
    EXPECT_EQ(p.x, c.x) << c.screenW << "x" << c.screenH;
    EXPECT_EQ(p.y, c.y) << c.screenW << "x" << c.screenH;
  }
}

// The client area at a monitor's scale, rounded as the system rounds its own metrics.
TEST_F(SplashTest, ClientAreaFollowsTheMonitorsScale) {
  struct Case {
    uint32_t dpi;
    uint32_t width, height;
  } const cases[] = {
      {96, 640, 320},    // 100 %: the picture's own size, nothing stretched
      {0, 640, 320},     // no answer from the system: as 100 %
      {120, 800, 400},   // 125 %
      {144, 960, 480},   // 150 %
      {192, 1280, 640},  // 200 %
      {100, 667, 333},   // 666.67 rounds up, 333.33 down
      {97, 647, 323},    // 646.67 up, 323.33 down
  };
  for (Case const& c : cases) {
    EXPECT_EQ(detail::scaledClientSize(640, 320, c.dpi), (detail::Size{c.width, c.height})) << c.dpi;
  }
  // Halves go up: 1 pixel at 144 DPI is 1.5 pixels.
  EXPECT_EQ(detail::scaledLength(1, 144), 2u);
  EXPECT_EQ(detail::scaledLength(3, 112), 4u);  // 3.5
  EXPECT_EQ(detail::scaledLength(1, 48), 1u);   // 0.5
  EXPECT_EQ(detail::scaledLength(1, 47), 0u);
}

TEST_F(SplashTest, IconIsSizeThenArgbPerPixel) {
  uint8_t const bytes[] = {0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0x00};
  std::vector<uint32_t> const expected = {2, 1, 0x44112233, 0x00AABBCC};
  EXPECT_EQ(detail::iconArgb(bytes, bytes + 8, 2, 1), expected);
  EXPECT_EQ(detail::iconArgb(bytes, bytes + 8, 1, 2), (std::vector<uint32_t>{1, 2, 0x44112233, 0x00AABBCC}));
  EXPECT_TRUE(detail::iconArgb(bytes, bytes + 7, 2, 1).empty());
  EXPECT_TRUE(detail::iconArgb(bytes, bytes + 8, 4, 1).empty());
  EXPECT_TRUE(detail::iconArgb(bytes, bytes + 8, 0, 2).empty());
  EXPECT_TRUE(detail::iconArgb(nullptr, nullptr, 0, 0).empty());
}

TEST(SplashImages, BothArtworksAre640By320OverTheirResources) {
  Image const& error = Splash::errorImage();
  EXPECT_EQ(&Splash::errorImage(), &error) << "made once";
  struct Case {
    Image const* image;
    int id;
  } const cases[] = {{&Splash::progressImage, Resources::ProgressArt}, {&error, Resources::ErrorArt}};
  for (Case const& c : cases) {
    EXPECT_EQ(c.image->width, 640u);
    EXPECT_EQ(c.image->height, 320u);
    EXPECT_EQ(c.image->first, Resources::find(c.id).first);
    EXPECT_EQ(detail::byteCount(*c.image), 819200u);
  }
}

TEST_F(SplashTest, TheErrorArtworkConvertsWhole) {
  ASSERT_TRUE(detail::applyImage(state, Splash::errorImage()));
  Resources::Range const r = Resources::find(Resources::ErrorArt);
  ASSERT_EQ(state.pixels.size(), 640u * 320u);
  // first pixel, last pixel, and one in the middle of the text area
  for (size_t i : {size_t{0}, size_t{640 * 320 - 1}, size_t{640 * 230 + 320}}) {
    EXPECT_EQ(state.pixels[i], detail::packPixel(r.first + 4 * i)) << i;
  }
}

}  // namespace
