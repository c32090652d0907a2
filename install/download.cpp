#include "install/download.h"

#include <string>
#include <utility>

#include "base/log.h"
#include "app/state.h"
#include "app/state_work.h"
#include "base/log_text.h"
#include "base/text.h"
#include "env/deployment.h"
#include "env/environment.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "install/digest.h"

namespace {

bool isBundlePlatform() { return environment().platform == APPLE_OSX; }

DownloadItem makeItem(std::string const& cdn, std::string const& uri, std::string const& localPath,
                      std::string const& hash) {
  DownloadItem item;
  item.remoteUrl = cdn + "/" + uri;
  item.localPath = localPath;
  item.expectedHash = hash;
  return item;
}

// Queues the item unless its URL holds a control byte, which no server path needs and
// which could break a line of the log; then logs the refusal, sets Error and says false.
bool enqueue(Run& run, DownloadItem item) {
  if (LogText::hasControl(item.remoteUrl)) {
    Log::err("Corrupted download URL: " + LogText::oneLine(item.remoteUrl));
    setState(InstallerState::Error);
    return false;
  }
  run.downloads.queue.push_back(std::move(item));
  return true;
}

void fail(Run& run, std::string const& line) {
  if (!line.empty()) Log::err(line);
  run.downloads.failed.push_back(run.downloads.current);
  setState(InstallerState::Error);
}

}  // namespace

void workConstructingQueue(Run& run) {
  OTA::Manifest const& manifest = run.manifest;
  std::string const appName = isBundlePlatform() ? std::string("quenza-launcher.zip") : environment().appFilename;
  bool queued = enqueue(run, makeItem(manifest.cdn, manifest.app.uri, FS::join(run.installDirNew, appName),
                                     manifest.app.hash));

  for (OTA::ManifestEntry const& entry : manifest.deps.entries) {
    if (!queued) break;
    // A path that climbs out of the install directory, or whose control bytes could
    // break a line of the log, is never fetched, not even in part.
    if (containsText(entry.path, "..", false) || LogText::hasControl(entry.path)) {
      Log::err("Corrupted dist pack entry path: " + LogText::oneLine(entry.path));
      setState(InstallerState::Error);
      break;
    }
    // Entry paths are written with either slash; only here is a backslash a separator.
    std::string const localPath = FS::join(run.installDirNew, FS::fromEitherSeparator(entry.path));
    queued = enqueue(run, makeItem(manifest.cdn, entry.uri, localPath, entry.hash));
  }
  if (currentState() != InstallerState::Error) setState(InstallerState::Downloading);
}

void workDownloading(Run& run) {
  DownloadState& downloads = run.downloads;
  if (!downloads.queue.empty()) {
    downloads.current = std::move(downloads.queue.front());
    downloads.queue.pop_front();
    HTTP::Request request;
    request.method = HTTP::Method::GET;
    request.url = downloads.current.remoteUrl;
    request.maxBodyBytes = Deployment::maxPayloadBytes;
    // Waiting first: a request that cannot start is answered inside send, and the state
    // its handler chooses must stand.
    setState(InstallerState::Waiting);
    Log::out("DL request: remoteUrl=" + downloads.current.remoteUrl + " localPath=" + downloads.current.localPath);
    HTTP::send(std::move(request), [&run](HTTP::Reply const& reply) { onDownloadReply(reply, run); });
    return;
  }

  bool const bundle = isBundlePlatform();
  std::string const& content = bundle ? run.manifest.app.hash : run.manifest.deps.hash;
  std::string const path = FS::join(run.installDirNew, bundle ? "quenza-launcher.sha256" : "quenza_deps_dist.sha256");
  if (!FS::writeFile(path, std::vector<uint8_t>(content.begin(), content.end()))) {
    Log::err((bundle ? "FS couldn't write bundle hash file: " : "FS couldn't write dist pack hash file: ") + path);
    setState(InstallerState::Error);
    return;
  }
  Log::out("DL ended: done=" + std::to_string(downloads.done.size()) +
           " failed=" + std::to_string(downloads.failed.size()));
  setState(InstallerState::PreparingExecution);
}

void onDownloadReply(HTTP::Reply const& reply, Run& run) {
  DownloadItem& item = run.downloads.current;
  Log::out("DL reply: status=" + std::to_string(reply.status));
  if (!reply.isSuccess()) {
    Log::err("GET failed: status=" + std::to_string(reply.status) + " body=" + LogText::clippedBody(reply.body));
    setState(InstallerState::Error);
    return;
  }

  item.actualHash = Digest::text(reply.body);
  item.verified = item.actualHash == item.expectedHash;
  // The expected text comes from the server: escaped, so it cannot end the line.
  Log::out(std::string("DL control: ") + (item.verified ? "DONE" : "FAIL") + " hash=" + item.actualHash + " | " +
           LogText::oneLine(item.expectedHash));
  if (!item.verified) {
    fail(run, {});
    return;
  }

  std::string const parent = FS::parentPath(item.localPath);
  if (!FS::createDirectories(parent)) {
    fail(run, "FS couldn't make file parent dir: " + parent);
    return;
  }
  // Written straight from the reply's body: a payload is never copied on its way to disk.
  if (!FS::writeFile(item.localPath, reply.body)) {
    fail(run, "FS couldn't write local file: " + item.localPath);
    return;
  }
  run.downloads.done.push_back(item);
  setState(InstallerState::Downloading);
}
