#include "install/digest.h"

#include <mbedtls/sha256.h>

namespace Digest {

std::vector<uint8_t> sha256(uint8_t const* data, size_t size) {
  static uint8_t const empty = 0;
  std::vector<uint8_t> digest(32);
  // The SHA-256 variant (is224 = 0); a failing routine must not yield a digest.
  if (mbedtls_sha256(size ? data : &empty, size, digest.data(), 0) != 0) return {};
  return digest;
}

std::string base64Url(std::vector<uint8_t> const& bytes) {
  static char const alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t const group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    out.push_back(alphabet[(group >> 6) & 63]);
    out.push_back(alphabet[group & 63]);
  }
  size_t const rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t const group = uint32_t{bytes[i]} << 16;
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
  } else if (rest == 2) {
    uint32_t const group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    out.push_back(alphabet[(group >> 6) & 63]);
  }
  return out;
}

std::string text(std::vector<uint8_t> const& bytes) {
  std::vector<uint8_t> const digest = sha256(bytes.data(), bytes.size());
  if (digest.empty()) return {};
  return base64Url(digest);
}

}  // namespace Digest
