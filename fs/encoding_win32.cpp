#include <windows.h>

#include "fs/path.h"

namespace FS {

std::wstring toWide(std::string const& utf8) {
  if (utf8.empty()) return {};
  int const length = static_cast<int>(utf8.size());
  int const count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (count <= 0) return {};
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), count);
  return wide;
}

std::string toUtf8(std::wstring const& wide) {
  if (wide.empty()) return {};
  int const length = static_cast<int>(wide.size());
  int const count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string utf8(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), count, nullptr, nullptr);
  return utf8;
}

PathStyle nativePathStyle() { return PathStyle::Windows; }

}  // namespace FS
