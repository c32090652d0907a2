#pragma once
// Shared bits of the fuzz targets: a broken invariant prints what broke and aborts, so
// libFuzzer keeps the input as a crash; inputs that carry several strings are cut at
// NUL bytes (which no path, argument or name of this program can hold).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);    \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)

namespace Fuzz {

inline std::vector<std::string> splitAtNul(uint8_t const* data, size_t size) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  return pieces;
}

// Strict UTF-8 as the Windows converter accepts it: shortest forms only, no encoded
// surrogates, nothing above U+10FFFF. Written from the encoding's definition rather
// than from the converter under test: every code point is decoded and re-encoded, and
// the input is valid when that gives the same bytes.
inline bool isStrictUtf8(std::string const& text) {
  size_t i = 0;
  while (i < text.size()) {
    auto const lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      auto const b = static_cast<uint8_t>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    size_t const shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (shortest != length) return false;
    i += length;
  }
  return true;
}

}  // namespace Fuzz
