#pragma once
// The download of every payload named by the manifest, one transfer at a time: the queue
// (application payload first, then the dependency entries in manifest order), the reply
// handler that verifies and stores each payload, and the hash file written at the end.
// The state work itself (ConstructingQueue, Downloading) is declared in app/state_work.h.
#include "app/run.h"
#include "http/http.h"

// Verifies the reply of the current item against its digest text and stores it under
// its local path. Sets Downloading after a stored payload, Error otherwise; appends the
// item to the done list, or to the failed list when it was received but not stored.
void onDownloadReply(HTTP::Reply const& reply, Run& run);
