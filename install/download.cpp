#include "install/download.h"

#include <string>
#include <utility>

#include "base/log.h"
#include "base/log_text.h"
#include "base/text.h"
#include "env/deployment.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "install/digest.h"

namespace Download {

namespace {

bool isBundlePlatform(EnvironmentValues const& env) { return env.platform == APPLE_OSX; }

DownloadItem makeItem(std::string const& cdn, std::string const& uri, std::string const& localPath,
                      std::string const& hash) {
  DownloadItem item;
  item.remoteUrl = cdn + "/" + uri;
  item.localPath = localPath;
  item.expectedHash = hash;
  return item;
}

// Queues the item unless its URL holds a control byte, which no server path needs and
// which could break a line of the log; then logs the refusal and says false.
bool enqueue(DownloadState& downloads, DownloadItem item) {
  if (LogText::hasControl(item.remoteUrl)) {
    Log::err("Corrupted download URL: " + LogText::oneLine(item.remoteUrl));
    return false;
  }
  downloads.queue.push_back(std::move(item));
  return true;
}

// A payload that arrived but could not be kept is counted as failed.
Step failCurrent(DownloadState& downloads, std::string const& line) {
  if (!line.empty()) Log::err(line);
  downloads.failed.push_back(downloads.current);
  return Step::Failed;
}

}  // namespace

Step buildQueue(DownloadState& downloads, OTA::Manifest const& manifest, EnvironmentValues const& env,
                std::string const& installDirNew) {
  std::string const appName = isBundlePlatform(env) ? std::string("quenza-launcher.zip") : env.appFilename;
  // Every item repeats the cdn and the install directory: a long cdn times many entries
  // (8 MiB times 200,000 fit in one reply) would be terabytes of queue. Counted first,
  // nothing built.
  uint64_t const perItem = manifest.cdn.size() + 1 + installDirNew.size() + 1;
  uint64_t bytes = perItem + manifest.app.uri.size() + appName.size() + manifest.app.hash.size();
  for (OTA::ManifestEntry const& entry : manifest.deps.entries) {
    bytes += perItem + entry.uri.size() + entry.path.size() + entry.hash.size();
  }
  if (bytes > maxQueueBytes) {
    Log::err("DL queue too large: bytes=" + std::to_string(bytes) + " limit=" + std::to_string(maxQueueBytes));
    return Step::Failed;
  }
  if (!enqueue(downloads, makeItem(manifest.cdn, manifest.app.uri, FS::join(installDirNew, appName),
                                   manifest.app.hash))) {
    return Step::Failed;
  }
  for (OTA::ManifestEntry const& entry : manifest.deps.entries) {
    // A path that climbs out of the install directory, whose control bytes could break a
    // line of the log, or that the system would not keep under the name written, is
    // never fetched, not even in part.
    if (containsText(entry.path, "..", false) || LogText::hasControl(entry.path) ||
        !FS::storesAsWritten(entry.path)) {
      Log::err("Corrupted dist pack entry path: " + LogText::oneLine(entry.path));
      return Step::Failed;
    }
    // Entry paths are written with either slash; only here is a backslash a separator.
    std::string const localPath = FS::join(installDirNew, FS::fromEitherSeparator(entry.path));
    if (!enqueue(downloads, makeItem(manifest.cdn, entry.uri, localPath, entry.hash))) return Step::Failed;
  }
  return Step::Done;
}

HTTP::Request nextRequest(DownloadState& downloads) {
  downloads.current = std::move(downloads.queue.front());
  downloads.queue.pop_front();
  Log::out("DL request: remoteUrl=" + downloads.current.remoteUrl + " localPath=" + downloads.current.localPath);
  HTTP::Request request;
  request.method = HTTP::Method::GET;
  request.url = downloads.current.remoteUrl;
  request.maxBodyBytes = Deployment::maxPayloadBytes;
  return request;
}

Step onReply(HTTP::Reply const& reply, DownloadState& downloads) {
  DownloadItem const& item = downloads.current;
  Log::out("DL reply: status=" + std::to_string(reply.status));
  if (!reply.isSuccess()) {
    Log::err("GET failed: status=" + std::to_string(reply.status) + " body=" + LogText::clippedBody(reply.body));
    return Step::Failed;
  }

  std::string const actualHash = Digest::text(reply.body);
  bool const verified = actualHash == item.expectedHash;
  // The expected text comes from the server: escaped, so it cannot end the line.
  Log::out(std::string("DL control: ") + (verified ? "DONE" : "FAIL") + " hash=" + actualHash + " | " +
           LogText::oneLine(item.expectedHash));
  if (!verified) return failCurrent(downloads, {});

  std::string const parent = FS::parentPath(item.localPath);
  if (!FS::createDirectories(parent)) return failCurrent(downloads, "FS couldn't make file parent dir: " + parent);
  // Written straight from the reply's body: a payload is never copied on its way to disk.
  if (!FS::writeFile(item.localPath, reply.body)) {
    return failCurrent(downloads, "FS couldn't write local file: " + item.localPath);
  }
  downloads.done.push_back(item);
  return Step::Done;
}

Step finish(DownloadState const& downloads, OTA::Manifest const& manifest, EnvironmentValues const& env,
            std::string const& installDirNew) {
  bool const bundle = isBundlePlatform(env);
  std::string const& content = bundle ? manifest.app.hash : manifest.deps.hash;
  std::string const path = FS::join(installDirNew, bundle ? "quenza-launcher.sha256" : "quenza_deps_dist.sha256");
  if (!FS::writeFile(path, std::vector<uint8_t>(content.begin(), content.end()))) {
    Log::err((bundle ? "FS couldn't write bundle hash file: " : "FS couldn't write dist pack hash file: ") + path);
    return Step::Failed;
  }
  Log::out("DL ended: done=" + std::to_string(downloads.done.size()) +
           " failed=" + std::to_string(downloads.failed.size()));
  return Step::Done;
}

}  // namespace Download
