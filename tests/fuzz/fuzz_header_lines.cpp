// Response header lines from a server, as libcurl hands them over one at a time: any
// bytes give a header map whose names are lower-case and hold no colon, whose values
// carry no surrounding blanks or tabs, where the last field of a name wins and a status
// line starts the map afresh. An announced length never reserves more than the body bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "http/http_lines.h"

namespace {

// Small enough that announced lengths of the inputs cross it often.
constexpr uint64_t kBound = 1 << 20;

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t const end = text.find('\n');
    size_t const length = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string_view const text(reinterpret_cast<char const*>(data), size);
  HTTP::Reply reply;
  for (std::string_view const line : linesOf(text)) {
    HTTP::applyHeaderLine(reply, line, kBound);
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\r' || bare.back() == '\n')) bare.remove_suffix(1);
    if (bare.substr(0, 5) == "HTTP/") FUZZ_CHECK(reply.headers.empty());
    size_t const colon = bare.find(':');
    if (colon != std::string_view::npos && bare.substr(0, 5) != "HTTP/") {
      // This line's name now maps to this line's value.
      std::string name(bare.substr(0, colon));
      std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
      auto const found = reply.headers.find(name);
      FUZZ_CHECK(found != reply.headers.end());
      FUZZ_CHECK(bare.substr(colon + 1).find(found->second) != std::string_view::npos);
    }
  }
  for (auto const& [name, value] : reply.headers) {
    FUZZ_CHECK(name.find(':') == std::string::npos);
    FUZZ_CHECK(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' &&
                                 value.back() != '\t'));
  }
  FUZZ_CHECK(reply.body.capacity() <= kBound);
  return 0;
}
