#include "fs/path.h"

#include <algorithm>

namespace {

using FS::PathStyle;

bool isSeparator(PathStyle style, char c) { return c == '/' || (style == PathStyle::Windows && c == '\\'); }

// "D:\" and "D:/" are never shortened by the stripping of trailing separators. A drive
// is a Windows notion: under POSIX rules "D:" is just a name.
bool isDriveRoot(PathStyle style, std::string const& p) {
  return style == PathStyle::Windows && p.size() == 3 && p[1] == ':' && isSeparator(style, p[2]);
}

std::string stripTrailingSeparators(PathStyle style, std::string p) {
  while (p.size() > 1 && isSeparator(style, p.back()) && !isDriveRoot(style, p)) p.pop_back();
  return p;
}

size_t lastSeparator(PathStyle style, std::string const& p) {
  return p.find_last_of(style == PathStyle::Windows ? "\\/" : "/");
}

// Only the Windows rules rewrite: under POSIX rules a backslash is part of a name.
std::string withSeparators(PathStyle style, std::string s) {
  if (style == PathStyle::Windows) {
    for (char& c : s) {
      if (c == '/') c = '\\';
    }
  }
  return s;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Letter case of ASCII letters only: the list's other characters (the superscript digits
// of "COM¹") have no case.
bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

// The device answers to its name whatever follows the first dot, and blanks before that
// dot are dropped as at the end of a name ("nul .txt").
bool isReservedDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view const reserved : FS::detail::windowsReservedNames()) {
    if (equalIgnoringCase(stem, reserved)) return true;
  }
  return false;
}

}  // namespace

namespace FS {

char preferredSeparator() { return nativePathStyle() == PathStyle::Windows ? '\\' : '/'; }

std::string join(PathStyle style, std::string const& first, std::string const& second) {
  std::string a = withSeparators(style, first);
  std::string b = withSeparators(style, second);
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool const aEnds = isSeparator(style, a.back());
  bool const bStarts = isSeparator(style, b.front());
  if (aEnds && bStarts) return a + b.substr(1);
  if (aEnds || bStarts) return a + b;
  a.push_back(style == PathStyle::Windows ? '\\' : '/');
  return a + b;
}

std::string join(std::string const& a, std::string const& b) { return join(nativePathStyle(), a, b); }

std::string baseName(PathStyle style, std::string const& path) {
  if (path.empty()) return {};
  std::string const p = stripTrailingSeparators(style, path);
  auto const pos = lastSeparator(style, p);
  if (pos == std::string::npos) return p;
  if (pos + 1 < p.size()) return p.substr(pos + 1);
  return {};
}

std::string baseName(std::string const& path) { return baseName(nativePathStyle(), path); }

std::string parentPath(PathStyle style, std::string const& path) {
  if (path.empty()) return {};
  std::string const p = stripTrailingSeparators(style, path);
  auto const pos = lastSeparator(style, p);
  if (pos == std::string::npos) return {};
  if (pos + 1 < p.size()) return p.substr(0, pos);
  return {};
}

std::string parentPath(std::string const& path) { return parentPath(nativePathStyle(), path); }

std::string fromEitherSeparator(PathStyle style, std::string const& path) {
  if (style == PathStyle::Windows) return path;
  std::string result = path;
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  return result;
}

std::string fromEitherSeparator(std::string const& path) { return fromEitherSeparator(nativePathStyle(), path); }

bool storesAsWritten(PathStyle style, std::string const& relativePath) {
  if (style == PathStyle::Posix) return true;
  if (relativePath.find(':') != std::string::npos) return false;
  for (size_t start = 0, end = 0; start <= relativePath.size(); start = end + 1) {
    end = std::min(relativePath.find_first_of("\\/", start), relativePath.size());
    std::string_view const name(relativePath.data() + start, end - start);
    // "." names the directory before it and is dropped on the way to the system.
    if (name.empty() || name == ".") continue;
    if (name.back() == '.' || name.back() == ' ' || isReservedDeviceName(name)) return false;
  }
  return true;
}

bool storesAsWritten(std::string const& relativePath) { return storesAsWritten(nativePathStyle(), relativePath); }

}  // namespace FS
