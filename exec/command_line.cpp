#include "exec/process.h"

#include "fs/path.h"

namespace Process {

// Writes the argument so that the Windows command-line splitter gives it back exactly:
// backslashes are literal except in a run that ends at a double quote, where each one
// must be doubled (and the quote itself escaped), including the run before the closing
// quote that this function adds.
std::wstring quoteArgument(std::wstring const& argument) {
  if (argument.empty()) return L"\"\"";
  if (argument.find_first_of(L"\t \"") == std::wstring::npos) return argument;

  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t const c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(2 * backslashes + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring buildCommandLine(std::wstring const& program, std::vector<std::string> const& arguments) {
  std::wstring line = quoteArgument(program);
  for (std::string const& argument : arguments) {
    line += L' ';
    line += quoteArgument(FS::toWide(argument));
  }
  return line;
}

}  // namespace Process
