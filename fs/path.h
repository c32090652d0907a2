#pragma once
// Text encodings and path strings. Every text inside the launcher is UTF-8; UTF-16
// exists only at the boundary with the Windows API. The path functions are plain string
// logic (no file-system access): both "\" and "/" separate components when a path is
// read, and join writes the build's own separator ("\" on Windows, "/" elsewhere).
#include <string>

namespace FS {

// UTF-8 to UTF-16 code units. Empty on empty input and on any invalid UTF-8 (the input
// is rejected as a whole, never partly converted or replaced).
std::wstring toWide(std::string const& utf8);

// UTF-16 code units to UTF-8. Empty on empty input; an unpaired surrogate becomes
// U+FFFD (EF BF BD), so names read from the file system always convert.
std::string toUtf8(std::wstring const& wide);

// The separator this build writes.
char preferredSeparator();

// Joins two pieces: every separator in either piece is rewritten to the build's own;
// an empty piece yields the other; at the junction exactly one separator stands when
// either side has one (one leading separator of b is dropped when a ends with one),
// and one is added when neither has. No normalisation of "." or "..".
std::string join(std::string const& a, std::string const& b);

// Last component, ignoring trailing separators; empty for an empty path, a lone
// separator or a drive root such as "D:\".
std::string baseName(std::string const& path);

// Everything before the last component, without the separator; empty for an empty path,
// a lone separator, a drive root or a single component directly under a root
// separator ("\x").
std::string parentPath(std::string const& path);

// join with an explicit written separator, so both builds' rules can be tested anywhere.
std::string joinWith(std::string const& a, std::string const& b, char separator);

namespace detail {
// Portable converters with the results of the Windows converters used by toWide and
// toUtf8 (strict UTF-8 in; U+FFFD for unpaired surrogates out). The wide strings hold
// UTF-16 code units whatever the width of wchar_t.
std::wstring utf8ToUtf16(std::string const& utf8);
std::string utf16ToUtf8(std::wstring const& wide);
}  // namespace detail

}  // namespace FS
