#pragma once
// The Windows command-line splitting rules, written independently of the quoting code so
// that tests and fuzz targets can check that a built command line reads back unchanged.
#include <string>
#include <vector>

namespace TestSupport {

inline bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program token: up to the next double quote when it starts with one (no escapes
// there), otherwise up to the first blank or tab. Later tokens: blanks and tabs
// separate them outside quotes; a double quote toggles quoting; 2n backslashes before a
// double quote give n backslashes and the quote toggles, 2n+1 give n backslashes and a
// literal quote; two double quotes inside quotes give one literal quote; other
// backslashes are literal.
inline std::vector<std::wstring> splitWindowsCommandLine(std::wstring const& line) {
  std::vector<std::wstring> out;
  size_t i = 0;
  std::wstring program;
  if (i < line.size() && line[i] == L'"') {
    for (++i; i < line.size() && line[i] != L'"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !isBlank(line[i]); ++i) program += line[i];
  }
  out.push_back(program);

  for (;;) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring argument;
    bool quoted = false;
    size_t backslashes = 0;
    for (; i < line.size(); ++i) {
      wchar_t const c = line[i];
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      if (c == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument += L'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          argument += L'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        backslashes = 0;
        continue;
      }
      argument.append(backslashes, L'\\');
      backslashes = 0;
      if (!quoted && isBlank(c)) break;
      argument += c;
    }
    argument.append(backslashes, L'\\');
    out.push_back(argument);
  }
  return out;
}

}  // namespace TestSupport
