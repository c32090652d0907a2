#pragma once
// Log text and lists of lines, both ways, for tests that compare what was written.
#include <string>
#include <vector>

namespace TestSupport {

// The lines of a text, without their line ends; a last line without one counts too, an
// empty text has none.
inline std::vector<std::string> splitLines(std::string const& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t const end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The lines, each followed by a line end, as the log writes them.
inline std::string joinLines(std::vector<std::string> const& lines) {
  std::string text;
  for (std::string const& line : lines) text += line + "\n";
  return text;
}

}  // namespace TestSupport
