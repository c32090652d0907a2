#include "http/http_lines.h"

#include "http/body_memory.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace HTTP {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace

void Request::setHeader(std::string name, std::string value) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  headers.insert_or_assign(std::move(name), std::move(value));
}

bool Reply::isSuccess() const { return status >= 200 && status <= 299; }

void applyHeaderLine(Reply& reply, std::string_view line, uint64_t maxBodyBytes) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    reply.headers.clear();
    // A redirect's announced length must not stay reserved for the next response,
    // whose body may grow from it without a length of its own. libcurl delivers no
    // body of a response it follows, so an empty body is all there is to drop.
    if (reply.body.empty()) std::vector<uint8_t>().swap(reply.body);
    return;
  }
  size_t const colon = line.find(':');
  if (line.empty() || colon == std::string_view::npos) return;

  std::string name = lowered(line.substr(0, colon));
  std::string_view const value = trimBlanks(line.substr(colon + 1));
  if (name == "content-length") reserveBody(reply, value, maxBodyBytes);
  reply.headers.insert_or_assign(std::move(name), std::string(value));
}

void reserveBody(Reply& reply, std::string_view contentLength, uint64_t maxBodyBytes) {
  uint64_t length = 0;
  char const* const end = contentLength.data() + contentLength.size();
  auto const [stop, error] = std::from_chars(contentLength.data(), end, length);
  if (contentLength.empty() || error != std::errc() || stop != end || length > maxBodyBytes) return;
  try {
    reply.body.reserve(static_cast<size_t>(length));
    adviseLargeBody(reply.body.data(), reply.body.capacity());
  } catch (std::bad_alloc const&) {
    // Only a hint: the body simply grows as it arrives.
  } catch (std::length_error const&) {
  }
}

bool appendBody(Reply& reply, char const* data, size_t size, uint64_t maxBodyBytes) {
  std::vector<uint8_t>& body = reply.body;
  if (size > maxBodyBytes || body.size() > maxBodyBytes - size) return false;
  try {
    if (body.capacity() - body.size() < size) {
      uint64_t const needed = body.size() + size;
      uint64_t next = std::max<uint64_t>(needed, uint64_t{2} * body.capacity());
      if (next > maxBodyBytes / 2) next = maxBodyBytes;
      body.reserve(static_cast<size_t>(next));
      adviseLargeBody(body.data() + body.size(), body.capacity() - body.size());
    }
    body.insert(body.end(), reinterpret_cast<uint8_t const*>(data), reinterpret_cast<uint8_t const*>(data) + size);
  } catch (std::bad_alloc const&) {
    return false;
  } catch (std::length_error const&) {
    return false;
  }
  return true;
}

}  // namespace HTTP
