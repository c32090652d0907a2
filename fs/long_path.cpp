#include <vector>

#include "fs/path.h"

// Portable so that both builds test the rule; only the Windows file operations use it.

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::vector<std::string> split(std::string const& text) {
  std::vector<std::string> pieces(1);
  for (char const c : text) {
    if (isSeparator(c)) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  return pieces;
}

// What the system does to an ordinary path and skips for the extended form.
std::string normalisedTail(std::vector<std::string> const& pieces, size_t from) {
  std::vector<std::string> kept;
  for (size_t i = from; i < pieces.size(); ++i) {
    std::string const& piece = pieces[i];
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(piece);
  }
  std::string tail;
  for (std::string const& piece : kept) {
    if (!tail.empty()) tail.push_back('\\');
    tail += piece;
  }
  return tail;
}

}  // namespace

namespace FS::detail {

std::string extendedLengthPath(std::string const& path) {
  bool const twoLeading = path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
  if (twoLeading && path.size() >= 4 && (path[2] == '?' || path[2] == '.') && isSeparator(path[3])) return path;

  if (path.size() >= 3 && isAsciiLetter(path[0]) && path[1] == ':' && isSeparator(path[2])) {
    std::string result = "\\\\?\\";
    result += path.substr(0, 2);
    result += '\\';
    return result + normalisedTail(split(path.substr(3)), 0);
  }

  if (twoLeading) {
    std::vector<std::string> const pieces = split(path.substr(2));
    bool const namesShare = pieces.size() >= 2 && !pieces[0].empty() && !pieces[1].empty() && pieces[0] != "." &&
                            pieces[0] != ".." && pieces[1] != "." && pieces[1] != "..";
    if (!namesShare) return path;
    std::string result = "\\\\?\\UNC\\" + pieces[0] + "\\" + pieces[1];
    std::string const tail = normalisedTail(pieces, 2);
    if (!tail.empty()) result += "\\" + tail;
    return result;
  }
  return path;
}

}  // namespace FS::detail
