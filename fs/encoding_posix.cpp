#include "fs/path.h"

namespace FS {

std::wstring toWide(std::string const& utf8) {
  if (utf8.empty()) return {};
  return detail::utf8ToUtf16(utf8);
}

std::string toUtf8(std::wstring const& wide) {
  if (wide.empty()) return {};
  return detail::utf16ToUtf8(wide);
}

PathStyle nativePathStyle() { return PathStyle::Posix; }

}  // namespace FS
