#include "fs/path.h"

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// "D:\" and "D:/" are never shortened by the stripping of trailing separators.
bool isDriveRoot(std::string const& p) { return p.size() == 3 && p[1] == ':' && isSeparator(p[2]); }

std::string stripTrailingSeparators(std::string p) {
  while (p.size() > 1 && isSeparator(p.back()) && !isDriveRoot(p)) p.pop_back();
  return p;
}

std::string withSeparator(std::string s, char separator) {
  for (char& c : s) {
    if (isSeparator(c)) c = separator;
  }
  return s;
}

}  // namespace

namespace FS {

std::string joinWith(std::string const& first, std::string const& second, char separator) {
  std::string a = withSeparator(first, separator);
  std::string b = withSeparator(second, separator);
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool const aEnds = isSeparator(a.back());
  bool const bStarts = isSeparator(b.front());
  if (aEnds && bStarts) return a + b.substr(1);
  if (aEnds || bStarts) return a + b;
  a.push_back(separator);
  return a + b;
}

std::string join(std::string const& a, std::string const& b) {
  return joinWith(a, b, preferredSeparator());
}

std::string baseName(std::string const& path) {
  if (path.empty()) return {};
  std::string const p = stripTrailingSeparators(path);
  auto const pos = p.find_last_of("\\/");
  if (pos == std::string::npos) return p;
  if (pos + 1 < p.size()) return p.substr(pos + 1);
  return {};
}

std::string parentPath(std::string const& path) {
  if (path.empty()) return {};
  std::string const p = stripTrailingSeparators(path);
  auto const pos = p.find_last_of("\\/");
  if (pos == std::string::npos) return {};
  if (pos + 1 < p.size()) return p.substr(0, pos);
  return {};
}

}  // namespace FS
