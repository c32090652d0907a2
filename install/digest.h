#pragma once
// The digest text of a payload: SHA-256 of the bytes, in URL-safe Base64 without
// padding (43 characters). The manifest carries digests in this form and they are
// compared byte for byte.
#include <cstdint>
#include <string>
#include <vector>

namespace Digest {

// The 32-byte SHA-256 digest; empty when the digest routine reports an error. Hashes
// in chunks of 1 MiB with a Heartbeat::beat() between them, so a large payload never
// holds the window up.
std::vector<uint8_t> sha256(uint8_t const* data, size_t size);

// URL-safe Base64 ("-" and "_"), no "=" padding, no line breaks.
std::string base64Url(std::vector<uint8_t> const& bytes);

// base64Url(sha256(bytes)); empty when the digest cannot be computed, which matches no
// manifest digest.
std::string text(std::vector<uint8_t> const& bytes);

}  // namespace Digest
