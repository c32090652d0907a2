#include "ui/splash_logic.h"

#include "fs/path.h"
#include "resources/resources.h"

namespace Splash {

namespace {

// Both artworks are 640x320 whatever their resource holds: a missing or damaged resource
// then fails the byte-count check and the window keeps its background.
Image makeImage(int id) {
  Resources::Range const range = Resources::find(id);
  return Image{640, 320, range.first, range.end};
}

}  // namespace

Image const progressImage = makeImage(Resources::ProgressArt);

Image const& errorImage() {
  static Image const image = makeImage(Resources::ErrorArt);
  return image;
}

namespace detail {

uint64_t byteCount(Image const& image) {
  if (!image.first || !image.end || image.end <= image.first) return 0;
  return static_cast<uint64_t>(image.end - image.first);
}

bool applyImage(State& s, Image const& image) {
  if (image.width == 0 || image.height == 0) return false;
  uint32_t const count = image.width * image.height;  // 32-bit product, as checked
  if (byteCount(image) != uint64_t{count} * 4) return false;
  // Sides whose product wraps around 32 bits would pass the check with a buffer far
  // smaller than the size painted from it; such an image is refused.
  if (uint64_t{image.width} * image.height != count) return false;

  s.width = image.width;
  s.height = image.height;
  s.pixels.resize(count);
  uint8_t const* source = image.first;
  for (uint32_t i = 0; i < count; ++i, source += 4) s.pixels[i] = packPixel(source);
  return true;
}

bool pictureReady(State const& s) {
  return !s.pixels.empty() && s.pixels.size() == uint64_t{s.width} * s.height;
}

Point centredOrigin(int32_t screenWidth, int32_t screenHeight, int32_t outerWidth, int32_t outerHeight) {
  // C++ integer division truncates toward zero, which is the rule for negative values.
  return Point{(screenWidth - outerWidth) / 2, (screenHeight - outerHeight) / 2};
}

uint32_t usableDpi(uint32_t answered) { return answered == 0 ? kDesignDpi : answered; }

uint32_t scaledLength(uint32_t length, uint32_t dpi) {
  // In 64 bits: no length and DPI the system can give overflow there.
  return static_cast<uint32_t>((uint64_t{length} * usableDpi(dpi) + kDesignDpi / 2) / kDesignDpi);
}

Size scaledClientSize(uint32_t width, uint32_t height, uint32_t dpi) {
  return Size{scaledLength(width, dpi), scaledLength(height, dpi)};
}

std::vector<uint32_t> iconArgb(uint8_t const* first, uint8_t const* end, uint32_t width, uint32_t height) {
  uint64_t const pixels = uint64_t{width} * height;
  if (pixels == 0 || !first || !end || end <= first || static_cast<uint64_t>(end - first) != pixels * 4) {
    return {};
  }
  std::vector<uint32_t> out;
  out.reserve(2 + pixels);
  out.push_back(width);
  out.push_back(height);
  for (uint8_t const* p = first; p != end; p += 4) out.push_back((uint32_t{p[3]} << 24) | packPixel(p));
  return out;
}

void storeTitle(State& s, std::string const& utf8) {
  if (&utf8 != &s.title) s.title = utf8;
}

std::string shownTitle(std::string const& utf8) {
  if (utf8.empty() || FS::detail::utf8ToUtf16(utf8).empty()) return {};
  return utf8;
}

bool latin1Title(std::string const& utf8, std::string& latin1) {
  latin1.clear();
  for (wchar_t const unit : FS::detail::utf8ToUtf16(utf8)) {
    if (static_cast<uint32_t>(unit) > 0xFF) return false;
    latin1.push_back(static_cast<char>(unit));
  }
  return true;
}

}  // namespace detail
}  // namespace Splash
