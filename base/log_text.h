#pragma once
// Values and bodies from a server on their way into a log line. A log line is one line:
// a value that carried a line break could otherwise end it and forge the lines after it,
// and a terminal control could rewrite what a reader sees. And a log line stays readable:
// a value or a failed reply's body is copied into it only up to a bound, so a hostile or
// broken server cannot fill the log with megabytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace LogText {

// Whether the text holds something oneLine escapes: an ASCII control byte (below 0x20,
// or 0x7F), a C1 control (U+0080 to U+009F) or a line or paragraph separator (U+2028,
// U+2029), the last two written in UTF-8.
bool hasControl(std::string_view text);

// The most bytes of a value or body a log line keeps.
inline constexpr size_t bodyBytesKept = 4096;

// The text as one line: each ASCII control byte as a backslash, "x" and two lower-case
// hexadecimal digits (a line feed gives \x0a), each C1 control and separator as a
// backslash, "u" and its four lower-case hexadecimal digits (\u0085, \u2028). Every
// other byte is copied as it is, other UTF-8 characters and bytes that are no UTF-8
// included, so a text without controls comes back unchanged. At most `kept` bytes of
// the text are shown, cut before the first character that would cross the bound (never
// inside one), then "[... N bytes left out]", N counting the bytes of the text not shown.
std::string oneLine(std::string_view text, size_t kept = bodyBytesKept);

// oneLine of the bytes.
std::string clippedBody(std::vector<uint8_t> const& bytes, size_t kept = bodyBytesKept);

}  // namespace LogText
