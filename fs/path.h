#pragma once
// Text encodings and path strings. Every text inside the launcher is UTF-8; UTF-16
// exists only at the boundary with the Windows API. The path functions are plain string
// logic (no file-system access) under one of two rule sets:
//   Windows: both "\" and "/" separate components when a path is read, join writes "\"
//     (every separator of either piece is rewritten to it), and a drive root such as
//     "D:\" is never shortened.
//   POSIX: only "/" separates; every other byte, the backslash included, belongs to a
//     name, and nothing in a piece is ever rewritten. A name read from the disk joined
//     to its directory therefore stays that one name.
// join, baseName and parentPath follow the build's own rules; the forms taking a
// PathStyle apply either set on any build, so both are tested everywhere.
#include <span>
#include <string>
#include <string_view>

namespace FS {

enum class PathStyle { Windows, Posix };

// The rules of this build: Windows on Windows, POSIX elsewhere.
PathStyle nativePathStyle();

// UTF-8 to UTF-16 code units. Empty on empty input and on any invalid UTF-8 (the input
// is rejected as a whole, never partly converted or replaced).
std::wstring toWide(std::string const& utf8);

// UTF-16 code units to UTF-8. Empty on empty input; an unpaired surrogate becomes
// U+FFFD (EF BF BD), so names read from the file system always convert.
std::string toUtf8(std::wstring const& wide);

// The separator this build writes.
char preferredSeparator();

// Joins two pieces: an empty piece yields the other; at the junction exactly one
// separator stands when either side has one (one leading separator of b is dropped when
// a ends with one), and one is added when neither has. No normalisation of "." or "..".
// Windows rules also rewrite every separator of both pieces to "\".
std::string join(std::string const& a, std::string const& b);
std::string join(PathStyle style, std::string const& a, std::string const& b);

// Last component, ignoring trailing separators; empty for an empty path, a lone
// separator or (Windows rules) a drive root such as "D:\".
std::string baseName(std::string const& path);
std::string baseName(PathStyle style, std::string const& path);

// Everything before the last component, without the separator; empty for an empty path,
// a lone separator, a Windows drive root, a single component directly under a root
// separator ("\x", "/x") and a path without any separator.
std::string parentPath(std::string const& path);
std::string parentPath(PathStyle style, std::string const& path);

// A relative path whose author may have written either slash as a separator (the
// manifest's entry paths, made on Windows), in the build's own form: under POSIX rules
// every "\" becomes "/", under Windows rules it comes back as it is (join rewrites it).
// Never for a name read from the disk, where a backslash is part of the name.
std::string fromEitherSeparator(std::string const& path);
std::string fromEitherSeparator(PathStyle style, std::string const& path);

// Whether every component of a relative path (either slash separating) is a name the
// system keeps as it is written. Under POSIX rules every name is. Under Windows rules a
// name ending in "." or " " (the system drops them), one holding ":" (an alternate data
// stream of the name before it) and a device name the system reserves, alone or before
// an extension, in any letter case (detail::windowsReservedNames), are not: through the
// "\\?\" form such a name is made literally, and neither the application nor Explorer
// could then open or delete it.
bool storesAsWritten(std::string const& relativePath);
bool storesAsWritten(PathStyle style, std::string const& relativePath);

namespace detail {
// Portable converters with the results of the Windows converters used by toWide and
// toUtf8 (strict UTF-8 in; U+FFFD for unpaired surrogates out). The wide strings hold
// UTF-16 code units whatever the width of wchar_t.
std::wstring utf8ToUtf16(std::string const& utf8);
std::string utf16ToUtf8(std::wstring const& wide);

// The form of a Windows path that the system takes past 260 characters: a drive path
// "D:\..." becomes "\\?\D:\...", a share "\\server\share\..." becomes
// "\\?\UNC\server\share\...". In that form the system neither turns "/" into "\" nor
// reads "." and "..", so that is done here first: both slashes separate, empty and "."
// components go, ".." removes the component before it (never the drive or the share).
// A path already in a "\\?\" or "\\.\" form, a relative path, a drive-relative "D:x"
// and a root-relative "\x" come back unchanged, as does a share path naming no share.
std::string extendedLengthPath(std::string const& path);

// The device names of fs/windows_reserved_names.txt, UTF-8, in its order (the list is
// turned into code when the build is configured).
std::span<std::string_view const> windowsReservedNames();
}  // namespace detail

}  // namespace FS
