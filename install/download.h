#pragma once
// The download of every payload named by the manifest, one transfer at a time: the queue
// (application payload first, then the dependency entries in manifest order), the
// request of each item, the reply handler that verifies and stores each payload, and the
// hash file written at the end. Each step reports a Step; the run decides what follows.
//
// Nothing a manifest names is fetched before all of it was checked: buildQueue refuses an
// entry path holding ".." or a control byte or naming what the system would not keep as
// written (FS::storesAsWritten; only Windows refuses names) ("Corrupted dist pack entry
// path: ") and a download URL holding a control byte ("Corrupted download URL: "), each
// written with its control bytes escaped (LogText::oneLine). Each download accepts at
// most Deployment::maxPayloadBytes of body.
#include <cstdint>
#include <string>

#include "base/step.h"
#include "env/environment.h"
#include "http/http.h"
#include "install/download_item.h"
#include "ota/manifest.h"

namespace Download {

// The most text (URLs, local paths and digests together) a queue may hold: a manifest of
// 20,000 files needs a few megabytes.
inline constexpr uint64_t maxQueueBytes = uint64_t{64} << 20;

// Appends the manifest's items to the queue, with local paths below installDirNew (the
// application payload as the platform's file name, or "quenza-launcher.zip" on the
// bundle platform). Failed after the refusal line, with the items before the refused one
// queued (never sent); a queue past maxQueueBytes is refused whole, before any item is
// made ("DL queue too large: bytes=N limit=M").
Step buildQueue(DownloadState& downloads, OTA::Manifest const& manifest, EnvironmentValues const& env,
                std::string const& installDirNew);

// Takes the first queued item (the queue must not be empty) as the current one, writes
// "DL request: remoteUrl=... localPath=..." and returns its GET.
HTTP::Request nextRequest(DownloadState& downloads);

// Verifies the reply of the current item against its digest text and stores it under
// its local path. Done after a stored payload, which joins the done list; Failed
// otherwise, the item joining the failed list when it was received but not stored. A
// failed status writes the body up to 4 KiB (LogText::clippedBody); the "DL control: "
// line writes the manifest's digest text with its control bytes escaped.
Step onReply(HTTP::Reply const& reply, DownloadState& downloads);

// With the queue empty: writes the hash file (the dependencies' digest, or the
// application's on the bundle platform) into installDirNew, then "DL ended: done=N
// failed=M". Failed, after "FS couldn't write ... hash file: <path>", when it cannot be
// written.
Step finish(DownloadState const& downloads, OTA::Manifest const& manifest, EnvironmentValues const& env,
            std::string const& installDirNew);

}  // namespace Download
