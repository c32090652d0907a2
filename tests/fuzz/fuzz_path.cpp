// Encodings and path strings on arbitrary bytes: the conversions must round-trip every
// valid text and refuse every invalid one as a whole, the path functions must never
// read outside their strings, merge or split names, or fail to shorten a path (callers
// walk up parents in loops), under either rule set, and the extended form of a Windows
// path must leave nothing for the system to settle.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/path.h"
#include "fuzz_check.h"

namespace {

using FS::PathStyle;

bool isSeparator(PathStyle style, char c) { return c == '/' || (style == PathStyle::Windows && c == '\\'); }

std::vector<std::string> components(PathStyle style, std::string const& path) {
  std::vector<std::string> out;
  std::string current;
  for (char const c : path) {
    if (isSeparator(style, c)) {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

// Only the Windows rules rewrite a separator; under POSIX rules a backslash is a byte of
// a name and every piece passes through unchanged.
std::string rewritten(PathStyle style, std::string text) {
  if (style == PathStyle::Windows) {
    for (char& c : text) {
      if (c == '/') c = '\\';
    }
  }
  return text;
}

bool onlySeparators(PathStyle style, std::string const& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (!isSeparator(style, text[i])) return false;
  }
  return true;
}

// UTF-16 code units with every unpaired surrogate replaced by U+FFFD.
std::wstring withPairedSurrogates(std::wstring const& units) {
  std::wstring out;
  for (size_t i = 0; i < units.size(); ++i) {
    auto const u = static_cast<uint32_t>(units[i]);
    bool const high = u >= 0xD800 && u <= 0xDBFF;
    bool const lowNext = i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
    if (high && lowNext) {
      out += units[i];
      out += units[++i];
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += static_cast<wchar_t>(0xFFFD);
    } else {
      out += units[i];
    }
  }
  return out;
}

void checkEncodings(std::string const& bytes) {
  std::wstring const wide = FS::toWide(bytes);
  if (bytes.empty() || !Fuzz::isStrictUtf8(bytes)) {
    FUZZ_CHECK(wide.empty());
  } else {
    FUZZ_CHECK(!wide.empty());
    for (wchar_t const unit : wide) FUZZ_CHECK(static_cast<uint32_t>(unit) <= 0xFFFF);
    FUZZ_CHECK(withPairedSurrogates(wide) == wide);
    FUZZ_CHECK(FS::toUtf8(wide) == bytes);
  }

  // The same bytes read as little-endian UTF-16 code units, as names come from Windows.
  std::wstring units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units += static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
  }
  std::string const utf8 = FS::toUtf8(units);
  FUZZ_CHECK(utf8.empty() == units.empty());
  FUZZ_CHECK(Fuzz::isStrictUtf8(utf8));
  FUZZ_CHECK(FS::toWide(utf8) == withPairedSurrogates(units));
}

void checkSplitting(PathStyle style, std::string const& path) {
  std::string const base = FS::baseName(style, path);
  std::string const parent = FS::parentPath(style, path);
  FUZZ_CHECK(components(style, base).size() <= 1);
  for (char const c : base) FUZZ_CHECK(!isSeparator(style, c));
  if (!path.empty()) FUZZ_CHECK(parent.size() < path.size());
  FUZZ_CHECK(path.compare(0, parent.size(), parent) == 0);

  // A drive root, with any number of trailing separators, has no last component.
  bool const driveRoot =
      style == PathStyle::Windows && path.size() >= 3 && path[1] == ':' && onlySeparators(style, path, 2);
  if (driveRoot) FUZZ_CHECK(base.empty());
  if (base.empty()) {
    FUZZ_CHECK(parent.empty());
    FUZZ_CHECK(onlySeparators(style, path, 0) || driveRoot);
    return;
  }
  // path = parent, one separator, base, then only separators (parent may be empty when
  // base is the first name).
  size_t const at = parent.empty() && !isSeparator(style, path[0]) ? 0 : parent.size() + 1;
  if (at > 0) FUZZ_CHECK(isSeparator(style, path[parent.size()]));
  FUZZ_CHECK(path.compare(at, base.size(), base) == 0);
  FUZZ_CHECK(onlySeparators(style, path, at + base.size()));
}

void checkJoin(PathStyle style, std::string const& a, std::string const& b) {
  std::string const joined = FS::join(style, a, b);
  std::string const ra = rewritten(style, a);
  std::string const rb = rewritten(style, b);
  if (style == PathStyle::Windows) FUZZ_CHECK(joined.find('/') == std::string::npos);

  // Names pass through unchanged: no name is merged with another or split.
  std::vector<std::string> names = components(style, a);
  std::vector<std::string> const namesB = components(style, b);
  names.insert(names.end(), namesB.begin(), namesB.end());
  FUZZ_CHECK(components(style, joined) == names);

  FUZZ_CHECK(joined.compare(0, ra.size(), ra) == 0);
  if (!ra.empty() && !rb.empty()) {
    // One separator is added when neither side brings one, and one dropped when both do.
    bool const aEnds = isSeparator(style, ra.back());
    bool const bStarts = isSeparator(style, rb.front());
    size_t const length = ra.size() + rb.size() + (!aEnds && !bStarts) - (aEnds && bStarts);
    FUZZ_CHECK(joined.size() == length);
    FUZZ_CHECK(joined.compare(joined.size() - (rb.size() - bStarts), std::string::npos, rb, bStarts) == 0);
  } else {
    FUZZ_CHECK(joined == ra + rb);
  }

  // A name joined to a directory is that path's last component, the directory its parent.
  bool const bareName = components(style, b).size() == 1 && !isSeparator(style, b.front()) &&
                        !isSeparator(style, b.back());
  if (bareName) {
    FUZZ_CHECK(FS::baseName(style, joined) == b);
    if (!ra.empty()) {
      std::string const expectedParent = isSeparator(style, ra.back()) ? ra.substr(0, ra.size() - 1) : ra;
      FUZZ_CHECK(FS::parentPath(style, joined) == expectedParent);
    }
  }
}

// The extended form reaches the system unread: it must hold no "/", no empty, "." or
// ".." component, and settling it again must change nothing.
void checkExtendedLength(std::string const& path) {
  std::string const extended = FS::detail::extendedLengthPath(path);
  FUZZ_CHECK(FS::detail::extendedLengthPath(extended) == extended);
  if (extended == path) return;
  FUZZ_CHECK(extended.compare(0, 4, "\\\\?\\") == 0);
  FUZZ_CHECK(extended.find('/') == std::string::npos);
  std::string const tail = extended.substr(4);
  std::vector<std::string> pieces(1);
  for (char const c : tail) {
    if (c == '\\') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  bool const driveRoot = tail.size() == 3 && tail[1] == ':' && tail[2] == '\\';
  for (std::string const& piece : pieces) {
    if (driveRoot && piece.empty()) continue;
    FUZZ_CHECK(!piece.empty() && piece != "." && piece != "..");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string const bytes(reinterpret_cast<char const*>(data), size);
  checkEncodings(bytes);

  std::vector<std::string> const pieces = Fuzz::splitAtNul(data, size);
  for (std::string const& piece : pieces) {
    checkSplitting(PathStyle::Windows, piece);
    checkSplitting(PathStyle::Posix, piece);
    checkExtendedLength(piece);
  }
  std::string const& a = pieces[0];
  std::string const& b = pieces.size() > 1 ? pieces[1] : std::string();
  checkJoin(PathStyle::Windows, a, b);
  checkJoin(PathStyle::Posix, a, b);
  FUZZ_CHECK(FS::join(a, b) == FS::join(FS::nativePathStyle(), a, b));
  return 0;
}
