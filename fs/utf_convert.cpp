#include "fs/path.h"

#include <cstdint>

namespace FS::detail {

// Strict decoding as the Windows converter does it with "fail on invalid input":
// no overlong forms, no encoded surrogates, nothing above U+10FFFF, no truncated
// sequences. Any fault rejects the whole input.
std::wstring utf8ToUtf16(std::string const& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t i = 0;
  size_t const n = utf8.size();
  while (i < n) {
    auto const b0 = static_cast<uint8_t>(utf8[i]);
    uint32_t cp = 0;
    size_t len = 0;
    uint32_t min = 0;
    if (b0 < 0x80) {
      cp = b0;
      len = 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      cp = b0 & 0x1F;
      len = 2;
      min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      cp = b0 & 0x0F;
      len = 3;
      min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      cp = b0 & 0x07;
      len = 4;
      min = 0x10000;
    } else {
      return {};
    }
    if (i + len > n) return {};
    for (size_t k = 1; k < len; ++k) {
      auto const b = static_cast<uint8_t>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) return {};
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string utf16ToUtf8(std::wstring const& wide) {
  std::string out;
  out.reserve(wide.size());
  auto put = [&out](uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  };
  size_t const n = wide.size();
  for (size_t i = 0; i < n; ++i) {
    // Only the low 16 bits are a code unit; a wider wchar_t value is not UTF-16.
    auto const raw = static_cast<uint32_t>(wide[i]);
    if (raw > 0xFFFF) {
      put(0xFFFD);
      continue;
    }
    uint32_t const u = raw;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      auto const next = static_cast<uint32_t>(wide[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        put(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      put(0xFFFD);
      continue;
    }
    put(u);
  }
  return out;
}

}  // namespace FS::detail
