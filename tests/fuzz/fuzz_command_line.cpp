// Command-line quoting on arbitrary arguments: the line built for a child must split
// back, by the Windows command-line rules, into exactly the program and the arguments
// (each converted from UTF-8, invalid ones becoming empty). The splitter below is this
// target's own reading of those rules, so the quoting is checked against them and not
// against itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exec/process.h"
#include "fs/path.h"
#include "fuzz_check.h"
#include "support/windows_split.h"

namespace {


// A program path as Windows allows one: no double quote, no control character, not
// ending in a backslash (the program token has no escapes, so those could not be
// written; no file name holds them).
std::wstring asProgramPath(std::wstring text) {
  std::wstring out;
  for (wchar_t const c : text) {
    if (c != L'"' && static_cast<uint32_t>(c) >= 0x20) out += c;
  }
  while (!out.empty() && out.back() == L'\\') out.pop_back();
  return out;
}

std::wstring unitsOf(std::string const& bytes) {
  std::wstring units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units += static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::vector<std::string> const pieces = Fuzz::splitAtNul(data, size);
  std::wstring const program = asProgramPath(FS::toWide(pieces[0]));
  std::vector<std::string> const arguments(pieces.begin() + 1, pieces.end());

  std::wstring const line = Process::buildCommandLine(program, arguments);
  std::vector<std::wstring> expected = {program};
  for (std::string const& argument : arguments) expected.push_back(FS::toWide(argument));
  FUZZ_CHECK(TestSupport::splitWindowsCommandLine(line) == expected);

  // Each piece read as raw UTF-16 code units, quoted on its own after a plain program.
  for (std::string const& piece : pieces) {
    std::wstring const argument = unitsOf(piece);
    std::wstring const quoted = Process::quoteArgument(argument);
    FUZZ_CHECK(TestSupport::splitWindowsCommandLine(L"p " + quoted) == (std::vector<std::wstring>{L"p", argument}));
    // Unquoted only when nothing in it could split or be read as a quote.
    if (quoted == argument) FUZZ_CHECK(!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos);
  }
  return 0;
}
