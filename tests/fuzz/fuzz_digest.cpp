// The digest text on arbitrary bytes: always 43 characters of the URL-safe alphabet
// that decode back to the 32-byte digest, and the Base64 form of any byte string
// decodes back to those bytes, with no padding and unused low bits left at zero (so
// each digest has exactly one text, which the byte-for-byte comparison relies on).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "install/digest.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int valueOf(char c) {
  for (int i = 0; i < 64; ++i) {
    if (kAlphabet[i] == c) return i;
  }
  return -1;
}

// Strict decoding: every character in the alphabet, no length that leaves a lone
// character, and the bits past the last whole byte all zero.
std::optional<std::vector<uint8_t>> decode(std::string const& text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<uint8_t> out;
  uint32_t buffer = 0;
  int bits = 0;
  for (char const c : text) {
    int const v = valueOf(c);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(buffer >> bits));
      buffer &= (1u << bits) - 1;
    }
  }
  if (buffer != 0) return std::nullopt;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::vector<uint8_t> const bytes(data, data + size);

  std::string const encoded = Digest::base64Url(bytes);
  size_t const tail[] = {0, 2, 3};
  FUZZ_CHECK(encoded.size() == size / 3 * 4 + tail[size % 3]);
  std::optional<std::vector<uint8_t>> const back = decode(encoded);
  FUZZ_CHECK(back.has_value() && *back == bytes);

  std::vector<uint8_t> const digest = Digest::sha256(data, size);
  FUZZ_CHECK(digest.size() == 32);
  std::string const text = Digest::text(bytes);
  FUZZ_CHECK(text.size() == 43);
  std::optional<std::vector<uint8_t>> const digestBack = decode(text);
  FUZZ_CHECK(digestBack.has_value() && *digestBack == digest);
  return 0;
}
