// Encodings and path strings on arbitrary bytes: the conversions must round-trip every
// valid text and refuse every invalid one as a whole, and the path functions must never
// read outside their strings, merge or split names, or fail to shorten a path (callers
// walk up parents in loops).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/path.h"
#include "fuzz_check.h"

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> components(std::string const& path) {
  std::vector<std::string> out;
  std::string current;
  for (char const c : path) {
    if (isSeparator(c)) {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

std::string rewritten(std::string text, char separator) {
  for (char& c : text) {
    if (isSeparator(c)) c = separator;
  }
  return text;
}

bool onlySeparators(std::string const& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (!isSeparator(text[i])) return false;
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

void checkSplitting(std::string const& path) {
  std::string const base = FS::baseName(path);
  std::string const parent = FS::parentPath(path);
  FUZZ_CHECK(components(base).size() <= 1 && base.find_first_of("/\\") == std::string::npos);
  if (!path.empty()) FUZZ_CHECK(parent.size() < path.size());
  FUZZ_CHECK(path.compare(0, parent.size(), parent) == 0);

  // A drive root, with any number of trailing separators, has no last component.
  bool const driveRoot = path.size() >= 3 && path[1] == ':' && onlySeparators(path, 2);
  if (driveRoot) FUZZ_CHECK(base.empty());
  if (base.empty()) {
    FUZZ_CHECK(parent.empty());
    FUZZ_CHECK(onlySeparators(path, 0) || driveRoot);
    return;
  }
  // path = parent, one separator, base, then only separators (parent may be empty when
  // base is the first name).
  size_t const at = parent.empty() && !isSeparator(path[0]) ? 0 : parent.size() + 1;
  if (at > 0) FUZZ_CHECK(isSeparator(path[parent.size()]));
  FUZZ_CHECK(path.compare(at, base.size(), base) == 0);
  FUZZ_CHECK(onlySeparators(path, at + base.size()));
}

void checkJoin(std::string const& a, std::string const& b, char separator) {
  char const other = separator == '/' ? '\\' : '/';
  std::string const joined = FS::joinWith(a, b, separator);
  std::string const ra = rewritten(a, separator);
  std::string const rb = rewritten(b, separator);
  FUZZ_CHECK(joined.find(other) == std::string::npos);

  // Names pass through unchanged: no name is merged with another or split.
  std::vector<std::string> names = components(a);
  std::vector<std::string> const namesB = components(b);
  names.insert(names.end(), namesB.begin(), namesB.end());
  FUZZ_CHECK(components(joined) == names);

  FUZZ_CHECK(joined.compare(0, ra.size(), ra) == 0);
  if (!ra.empty() && !rb.empty()) {
    // One separator is added when neither side brings one, and one dropped when both do.
    bool const aEnds = isSeparator(ra.back());
    bool const bStarts = isSeparator(rb.front());
    size_t const length = ra.size() + rb.size() + (!aEnds && !bStarts) - (aEnds && bStarts);
    FUZZ_CHECK(joined.size() == length);
    FUZZ_CHECK(joined.compare(joined.size() - (rb.size() - bStarts), std::string::npos, rb, bStarts) == 0);
  } else {
    FUZZ_CHECK(joined == ra + rb);
  }

  // A name joined to a directory is that path's last component, the directory its parent.
  if (!b.empty() && b.find_first_of("/\\") == std::string::npos) {
    FUZZ_CHECK(FS::baseName(joined) == b);
    if (!ra.empty()) {
      std::string const expectedParent = isSeparator(ra.back()) ? ra.substr(0, ra.size() - 1) : ra;
      FUZZ_CHECK(FS::parentPath(joined) == expectedParent);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string const bytes(reinterpret_cast<char const*>(data), size);
  checkEncodings(bytes);

  std::vector<std::string> const pieces = Fuzz::splitAtNul(data, size);
  for (std::string const& piece : pieces) checkSplitting(piece);
  std::string const& a = pieces[0];
  std::string const& b = pieces.size() > 1 ? pieces[1] : std::string();
  checkJoin(a, b, '\\');
  checkJoin(a, b, '/');
  FUZZ_CHECK(FS::join(a, b) == FS::joinWith(a, b, FS::preferredSeparator()));
  return 0;
}
