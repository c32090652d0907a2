#pragma once
// The verify exchange with the channel's OTA server: the request that tells it what this
// run is, and the handler that decodes its answer into the run's manifest.
#include "http/http.h"
#include "ota/manifest.h"

namespace OTA {

// The POST of a JSON object describing this run (edition, platform, processor, stack
// numbers, OTA host) to "https://" + OTA host + "/ota/verify", from the environment values.
HTTP::Request buildVerifyRequest();

// Decodes a verify reply into manifest, logging every value read, and sets the next
// state: CleaningBeforeDownload for a usable manifest, otherwise Error (after one line
// on standard error naming the failure). Fields are stored as they are read, so a
// rejected reply may leave some of them filled.
void onVerifyReply(HTTP::Reply const& reply, Manifest& manifest);

}  // namespace OTA
