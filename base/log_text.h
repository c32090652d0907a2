#pragma once
// Values and bodies from a server on their way into a log line. A log line is one line:
// a value that carried a line break could otherwise end it and forge the lines after it.
// And a log line stays readable: a failed reply's body is copied into it only up to a
// bound, so a hostile or broken server cannot fill the log with megabytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace LogText {

// Whether the text holds an ASCII control byte (below 0x20, or 0x7F).
bool hasControl(std::string_view text);

// The text with each ASCII control byte written as a backslash, "x" and two lower-case
// hexadecimal digits (a line feed gives \x0a); every other byte, UTF-8 included, is
// copied as it is, so a text without control bytes comes back unchanged.
std::string oneLine(std::string_view text);

// The most body bytes a log line keeps.
inline constexpr size_t bodyBytesKept = 4096;

// The bytes as text, unchanged when there are at most `kept` of them; otherwise the first
// `kept` followed by "[... N bytes left out]", N being the number of bytes not shown.
std::string clippedBody(std::vector<uint8_t> const& bytes, size_t kept = bodyBytesKept);

}  // namespace LogText
