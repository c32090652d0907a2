#pragma once
// The resources embedded in the executable (the two artworks and the logo tile for the
// window, the root bundle for TLS): read-only byte ranges into the image, never copied or
// freed. The data sits next to this code: the generated resource script of each launcher
// build (launcher.rc.in on Windows, resources.S.in elsewhere) places it under these numbers.
#include <cstdint>

namespace Resources {

enum Id : int {
  Icon = 101,          // icon group: one 256x256 PNG image
  LogoTile = 102,      // 256x256 RGBA with a real alpha channel
  ProgressArt = 103,   // 640x320 RGBA, opaque
  ErrorArt = 104,      // 640x320 RGBA, opaque
  CaBundle = 105,      // PEM text of the trusted root certificates
};

struct Range {
  uint8_t const* first = nullptr;
  uint8_t const* end = nullptr;

  uint64_t size() const { return first && end > first ? static_cast<uint64_t>(end - first) : 0; }
  bool empty() const { return size() == 0; }
};

// The data resource with that number; both pointers null when it is missing or empty.
// (The icon group is looked up through the window class, not through this call.)
Range find(int id);

}  // namespace Resources
