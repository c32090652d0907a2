#pragma once
// How the engine turns the pieces libcurl hands over into a reply: one received header
// line at a time, and the body bytes. Kept apart from the transfer machinery so that
// the rules can be tested without a server.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/http.h"

namespace HTTP {

// Applies one raw header line (line end included or not) to the reply:
// - a status line ("HTTP/...") clears the header fields, so after a redirect or an
//   interim 1xx response only the final response's fields remain;
// - an empty line or one without a colon adds nothing;
// - otherwise the name (before the first colon, lower-cased, not trimmed) gets the
//   value (after it, blanks and tabs trimmed on both sides), replacing an earlier one.
// A "content-length" field also reserves the body's capacity (see reserveBody).
void applyHeaderLine(Reply& reply, std::string_view line, uint64_t maxBodyBytes);

// Reserves the body's capacity for an announced Content-Length value (decimal digits,
// surrounding blanks already removed) that is within maxBodyBytes: libcurl refuses a
// longer one before any body byte arrives. A value that is not a plain number, one past
// the bound, or a reservation the allocator refuses changes nothing.
void reserveBody(Reply& reply, std::string_view contentLength, uint64_t maxBodyBytes);

// Appends body bytes; false, with the body unchanged, when the body would grow past
// maxBodyBytes or memory runs out, which the caller turns into a failed transfer.
// Without an announced length the capacity grows by doubling, but never past
// maxBodyBytes, and a growth that would leave more than half of the bound behind jumps
// straight to the bound: a reallocation copies the old bytes into the new block, so
// the bytes held during a copy (old block plus the copied part of the new one) stay
// within maxBodyBytes.
bool appendBody(Reply& reply, char const* data, size_t size, uint64_t maxBodyBytes);

}  // namespace HTTP
