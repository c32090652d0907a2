#pragma once
// The one fixed-size splash window of the process: a 640x320 picture with a title, a
// close button and a minimise button. Owned by the main thread; messages are drained
// once per loop pass. When no window can be made, create returns false and the run goes
// on without one.
#include <cstdint>
#include <string>

namespace Splash {

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t const* first = nullptr;  // width*height*4 bytes: R, G, B, A; top row first
  uint8_t const* end = nullptr;
};

// Bound to resources 103 and 104 of the executable.
extern Image const progressImage;
Image const& errorImage();

// Stores the title; sets it on the window when one exists (invalid UTF-8 shows empty).
void setTitle(std::string const& title);

// Stores the image as current; converts and paints it when a window exists and the
// image's byte count is exactly width*height*4 (otherwise nothing changes on screen).
void setImage(Image const* image);

// Creates, centres and shows the window with that client size; true when it is shown.
bool create(uint32_t width, uint32_t height);

// Drains every waiting message without waiting.
void pumpMessages();

// True once the user closed the window; never reset.
bool closedByUser();

// Destroys the window if any and empties the pixel buffer; the closed flag stays.
void destroy();

}  // namespace Splash
