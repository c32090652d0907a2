#pragma once
// The download of every payload named by the manifest, one transfer at a time: the queue
// (application payload first, then the dependency entries in manifest order), the reply
// handler that verifies and stores each payload, and the hash file written at the end.
// The state work itself (ConstructingQueue, Downloading) is declared in app/state_work.h.
//
// Nothing a manifest names is fetched before all of it was checked: ConstructingQueue
// refuses an entry path holding ".." or a control byte ("Corrupted dist pack entry path: ")
// and a download URL holding a control byte ("Corrupted download URL: "), each written
// with its control bytes escaped (LogText::oneLine), then sets Error with the items
// before it queued but never sent. Each download accepts at most
// Deployment::maxPayloadBytes of body.
#include "app/run.h"
#include "http/http.h"

// Verifies the reply of the current item against its digest text and stores it under
// its local path. Sets Downloading after a stored payload, Error otherwise; appends the
// item to the done list, or to the failed list when it was received but not stored. A
// failed status writes the body up to 4 KiB (LogText::clippedBody); the "DL control: "
// line writes the manifest's digest text with its control bytes escaped.
void onDownloadReply(HTTP::Reply const& reply, Run& run);
