#pragma once
// The verify exchange with the channel's OTA server: the request that tells it what this
// run is, and the handler that decodes its answer into the run's manifest.
#include <cstdint>

#include "base/step.h"
#include "env/environment.h"
#include "http/http.h"
#include "ota/manifest.h"

namespace OTA {

// A manifest is a few kilobytes; a reply past this bound fails like a lost connection.
inline constexpr uint64_t maxVerifyReplyBytes = uint64_t{16} << 20;

// The POST of a JSON object describing this run (edition, platform, processor, stack
// numbers, OTA host) to "https://" + OTA host + "/ota/verify", from the run's environment
// values, accepting a reply body of at most maxVerifyReplyBytes.
HTTP::Request buildVerifyRequest(EnvironmentValues const& env);

// Decodes a verify reply into manifest, logging every value read: Done for a usable
// manifest, otherwise Failed (after one line on standard error naming the failure, or
// the field warnings of the JSON getters for a member missing or of another kind). The
// entries are read up to the first unusable one (no object, or without its "uri",
// "hash" or "path" text), whose lines end the reading. Fields are stored as they are
// read, so a rejected reply may leave some of them filled. Each value line ("OTA cdn =
// ...") writes the value with its control bytes escaped (LogText::oneLine); a failed
// reply's body and a parser message are written up to LogText::bodyBytesKept bytes
// (LogText::clippedBody).
Step onVerifyReply(HTTP::Reply const& reply, Manifest& manifest);

}  // namespace OTA
