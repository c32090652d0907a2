#include "ui/resources.h"
#include "ui/splash.h"

// Temporary: no window system yet, so no window is ever created.
namespace Splash {
namespace {
Image makeImage(int id) {
  Resources::Range const r = Resources::find(id);
  return Image{640, 320, r.first, r.end};
}
}  // namespace
Image const progressImage = makeImage(Resources::ProgressArt);
Image const& errorImage() {
  static Image const image = makeImage(Resources::ErrorArt);
  return image;
}
void setTitle(std::string const&) {}
void setImage(Image const*) {}
bool create(uint32_t, uint32_t) { return false; }
void pumpMessages() {}
bool closedByUser() { return false; }
void destroy() {}
}  // namespace Splash
