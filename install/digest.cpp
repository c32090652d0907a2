#include "install/digest.h"

#include <mbedtls/sha256.h>

#include <algorithm>

#include "base/heartbeat.h"

namespace Digest {

namespace {

// 1 MiB takes a few milliseconds even without the processor's SHA instructions: small
// enough to keep the window's messages flowing, large enough that a beat (one clock
// read) per chunk costs nothing.
constexpr size_t kChunk = 0x100000;

}  // namespace

std::vector<uint8_t> sha256(uint8_t const* data, size_t size) {
  mbedtls_sha256_context context;
  mbedtls_sha256_init(&context);
  // The SHA-256 variant (is224 = 0).
  int result = mbedtls_sha256_starts(&context, 0);
  for (size_t offset = 0; result == 0 && offset < size; offset += kChunk) {
    if (offset != 0) Heartbeat::beat();
    result = mbedtls_sha256_update(&context, data + offset, std::min(size - offset, kChunk));
  }
  std::vector<uint8_t> digest(32);
  if (result == 0) result = mbedtls_sha256_finish(&context, digest.data());
  mbedtls_sha256_free(&context);
  // A failing routine must not yield a digest.
  if (result != 0) return {};
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
