#include "base/log_text.h"

namespace LogText {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

bool hasControl(std::string_view text) {
  for (char const c : text) {
    if (isControl(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

std::string oneLine(std::string_view text) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char const c : text) {
    auto const byte = static_cast<unsigned char>(c);
    if (!isControl(byte)) {
      out.push_back(c);
      continue;
    }
    out += "\\x";
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 15]);
  }
  return out;
}

std::string clippedBody(std::vector<uint8_t> const& bytes, size_t kept) {
  if (bytes.size() <= kept) return std::string(bytes.begin(), bytes.end());
  std::string out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept));
  out += "[... " + std::to_string(bytes.size() - kept) + " bytes left out]";
  return out;
}

}  // namespace LogText
