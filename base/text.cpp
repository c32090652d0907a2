#include "base/text.h"

#include <string>

namespace {

// The classic locale's lower-case mapping: only ASCII capitals change.
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool containsText(std::string_view haystack, std::string_view needle, bool ignoreCase) {
  if (!ignoreCase) return haystack.find(needle) != std::string_view::npos;
  std::string h(haystack);
  std::string n(needle);
  for (char& c : h) c = lowerAscii(c);
  for (char& c : n) c = lowerAscii(c);
  return h.find(n) != std::string::npos;
}

int32_t parseIntOr(std::string_view text, int32_t fallback) {
  size_t pos = 0;
  bool const negative = !text.empty() && text.front() == '-';
  if (negative) pos = 1;
  if (pos == text.size()) return fallback;
  // The magnitude may reach 2147483648 after a minus sign; 64 bits hold it and any
  // overflow is caught before the next digit is added.
  int64_t const limit = negative ? 2147483648LL : 2147483647LL;
  int64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    char const c = text[pos];
    if (!isDigit(c)) return fallback;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return fallback;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
