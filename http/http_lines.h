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
void applyHeaderLine(Reply& reply, std::string_view line);

// Most body capacity reserved ahead from an announced length; a larger body still
// grows freely, this only bounds what a lying server can make us set aside.
inline constexpr uint64_t maxBodyReservation = uint64_t{1} << 30;

// Reserves the body's capacity from an announced Content-Length value (decimal digits,
// surrounding blanks already removed), capped at maxBodyReservation. A value that is
// not a plain number, or a reservation the allocator refuses, changes nothing.
void reserveBody(Reply& reply, std::string_view contentLength);

// Appends body bytes; false (and the body unchanged) when memory runs out, which the
// caller turns into a failed transfer.
bool appendBody(Reply& reply, char const* data, size_t size);

}  // namespace HTTP
