#pragma once
// The part of the splash window that needs no window system: what a backend keeps of its
// window besides the window itself, the picture check and conversion, the centring
// arithmetic, the title and icon encodings, and the arithmetic of showing the picture at
// a monitor's scale. Internal to ui/; kept apart so every build's tests run it. Each
// backend holds one State in its own file (the window procedure of the platform reaches
// it there); the functions here work on the State they are given.
#include <cstdint>
#include <string>
#include <vector>

#include "ui/splash.h"

namespace Splash::detail {

// The pictures are drawn for 96 DPI, the scale the system calls 100 %.
constexpr uint32_t kDesignDpi = 96;

struct State {
  bool closedByUser = false;           // set once by the user's close; never reset
  uint32_t width = 0;                  // size of the picture shown; the client size at
  uint32_t height = 0;                 //   96 DPI until a picture has been applied
  uint32_t dpi = kDesignDpi;           // the scale of the monitor the window is on
  Image const* current = &progressImage;
  std::vector<uint32_t> pixels;        // 0x00RRGGBB, top row first, width*height of them
  std::string title;                   // UTF-8
};

// Bytes the image's range holds: end minus first when both are set and end lies after
// first, else 0.
uint64_t byteCount(Image const& image);

// Red, green, blue, alpha bytes to 0x00RRGGBB: the layout both the device-independent
// bitmap copy and a 24-bit TrueColor image take, so painting needs no conversion.
inline uint32_t packPixel(uint8_t const* rgba) {
  return (uint32_t{rgba[0]} << 16) | (uint32_t{rgba[1]} << 8) | uint32_t{rgba[2]};
}

// The window-free steps of showing a picture. When the image has non-zero sides and
// exactly width*height*4 bytes, makes its size current, converts it into the pixel
// buffer and returns true; otherwise changes nothing and returns false.
bool applyImage(State& state, Image const& image);

// Whether the pixel buffer holds a whole picture of the current size (false before a
// picture is applied and after the window is destroyed): only then is anything drawn.
bool pictureReady(State const& state);

struct Point {
  int32_t x = 0;
  int32_t y = 0;
};

// Top-left corner that centres an outer window size on a screen. Signed division that
// truncates toward zero, so a screen smaller than the window gives negative values.
Point centredOrigin(int32_t screenWidth, int32_t screenHeight, int32_t outerWidth, int32_t outerHeight);

struct Size {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(Size const&) const = default;
};

// The DPI a window is shown at: the system's answer, or 96 when it gave none (0).
uint32_t usableDpi(uint32_t answered);

// A length of the design at a DPI, rounded to the nearest pixel with halves going up,
// as the system scales its own metrics: 640 is 800 at 120 DPI, 960 at 144, 1280 at 192.
uint32_t scaledLength(uint32_t length, uint32_t dpi);

// The client size that shows a picture of that size at the DPI's scale (the picture's own
// size at 96 DPI); the painting stretches the picture to it.
Size scaledClientSize(uint32_t width, uint32_t height, uint32_t dpi);

// A tile of width*height RGBA pixels in the layout window managers take for an icon:
// width, height, then 0xAARRGGBB per pixel, top row first. Empty when the range does not
// hold exactly width*height*4 bytes or a side is 0.
std::vector<uint32_t> iconArgb(uint8_t const* first, uint8_t const* end, uint32_t width, uint32_t height);

// Keeps a copy of the title (a call with the stored title itself changes nothing).
void storeTitle(State& state, std::string const& utf8);

// The title as it is shown: itself when it is valid UTF-8, else empty.
std::string shownTitle(std::string const& utf8);

// The title in ISO 8859-1 into latin1 when every character fits there; false otherwise
// (latin1 then undefined). Invalid UTF-8 counts as the empty title.
bool latin1Title(std::string const& utf8, std::string& latin1);

}  // namespace Splash::detail
