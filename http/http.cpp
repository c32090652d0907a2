#include "http/http.h"

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "http/http_lines.h"
#include "http/stall_watch.h"
#include "resources/resources.h"

namespace HTTP {

namespace {

// One transfer in flight. Owned by the engine from send until its callback has run; the
// easy handle reads the request body in place, so the request lives here too.
struct Transfer {
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;  // null when the request has no headers
  Request request;
  Reply reply;
  Callback callback;
  uint64_t received = 0;  // header and body bytes from the server, redirects included
  StallWatch stall;
};

CURLM* multi = nullptr;                            // null while the engine is stopped
std::vector<std::unique_ptr<Transfer>> transfers;  // in the order they were added

// The embedded root bundle, handed to libcurl without a copy: the resource lives as long
// as the process. Made on the first set-up; a missing resource gives length 0, so every
// TLS verification then fails.
curl_blob caBlob{};
bool caBlobMade = false;

curl_blob* caBundleBlob() {
  if (!caBlobMade) {
    Resources::Range const range = Resources::find(Resources::CaBundle);
    caBlob.data = const_cast<uint8_t*>(range.first);
    caBlob.len = static_cast<size_t>(range.size());
    caBlob.flags = CURL_BLOB_NOCOPY;
    caBlobMade = true;
  }
  return &caBlob;
}

// The body pointer of an empty POST: libcurl must never see a null pointer there, or it
// would read the body from its default source, standard input.
char const emptyBody[1] = {0};

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
  size_t const bytes = size * count;
  auto* transfer = static_cast<Transfer*>(userdata);
  transfer->received += bytes;
  // A body past the request's bound (libcurl's own size limit stops it first) or too
  // large for memory fails the transfer instead of throwing through libcurl.
  if (!appendBody(transfer->reply, data, bytes, transfer->request.maxBodyBytes)) return 0;
  return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* userdata) {
  size_t const bytes = size * count;
  auto* transfer = static_cast<Transfer*>(userdata);
  transfer->received += bytes;
  try {
    applyHeaderLine(transfer->reply, std::string_view(data, bytes), transfer->request.maxBodyBytes);
  } catch (...) {
    return 0;  // out of memory: nothing may unwind through libcurl
  }
  return bytes;
}

// libcurl calls this often while data flows and about once a second while none does;
// a non-zero answer fails the transfer.
int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(userdata);
  return transfer->stall.progress(StallWatch::Clock::now(), transfer->received) ? 0 : 1;
}

// Logs the failed step with libcurl's text for the code; true when the code is 0.
bool stepOk(CURLcode code, char const* step) {
  if (code == CURLE_OK) return true;
  Log::err(std::string("HTTP: error while '") + step + "': " + curl_easy_strerror(code));
  return false;
}

void deliver(Transfer& transfer) {
  if (transfer.callback) transfer.callback(transfer.reply);
}

void releaseHandles(Transfer& transfer) {
  curl_slist_free_all(transfer.headerList);
  transfer.headerList = nullptr;
  curl_easy_cleanup(transfer.easy);
  transfer.easy = nullptr;
}

// Creates and configures the easy handle; false on the first step that fails (the
// handles made so far stay in the transfer for the caller to release).
bool setUp(Transfer& t) {
  t.easy = curl_easy_init();
  if (!t.easy) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_CAINFO_BLOB, caBundleBlob()), "Configuring CA")) return false;

  for (auto const& [name, value] : t.request.headers) {
    std::string const line = name + ": " + value;
    curl_slist* const extended = curl_slist_append(t.headerList, line.c_str());
    if (!extended) return false;
    t.headerList = extended;
  }

  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_URL, t.request.url.c_str()), "Setting URL")) return false;
  // Nothing leaves in clear text: a URL of another scheme, or of none (which libcurl
  // would take for http), fails before a connection is made.
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_PROTOCOLS_STR, "https"), "Restricting to HTTPS")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_FOLLOWLOCATION, 1L), "Allowing redirect")) return false;
  // Every request starts on HTTPS; a redirect must not lead it to a plain-text server.
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_REDIR_PROTOCOLS_STR, "https"), "Restricting redirects to HTTPS"))
    return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_NOSIGNAL, 1L), "Setting no-signal")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, onBody), "Setting body callback")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t), "Setting body userdata")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_HEADERFUNCTION, onHeader), "Setting headers callback")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_HEADERDATA, &t), "Setting headers userdata")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT_MS, 15000L), "Setting handshake timeout"))
    return false;
  // A stall limit, not a limit on the whole transfer: a large payload on a slow line
  // takes as long as it takes while it progresses, and a server that stops sending is
  // given up on a minute later. No CURLOPT_TIMEOUT is set.
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_XFERINFOFUNCTION, onProgress), "Setting operation timeout"))
    return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_XFERINFODATA, &t), "Setting stall watch userdata")) return false;
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_NOPROGRESS, 0L), "Enabling stall watch")) return false;
  // libcurl's own bound: it refuses an announced longer body before any of it arrives,
  // and stops one without a length (or chunked) at the bound.
  auto const maxBody = static_cast<curl_off_t>(t.request.maxBodyBytes);
  if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_MAXFILESIZE_LARGE, maxBody), "Limiting body size")) return false;
  if (t.headerList && !stepOk(curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headerList), "Providing headers"))
    return false;

  switch (t.request.method) {
    case Method::GET:
      return stepOk(curl_easy_setopt(t.easy, CURLOPT_HTTPGET, 1L), "Using GET");
    case Method::POST: {
      if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_POST, 1L), "Using POST")) return false;
      auto const* bytes = t.request.body.empty() ? emptyBody : reinterpret_cast<char const*>(t.request.body.data());
      if (!stepOk(curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, bytes), "Providing buffer bytes")) return false;
      auto const size = static_cast<curl_off_t>(t.request.body.size());
      return stepOk(curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, size), "Providing buffer size");
    }
  }
  return true;
}

}  // namespace

bool startup() {
  if (multi) return true;
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return false;
  multi = curl_multi_init();
  if (!multi) {
    curl_global_cleanup();
    return false;
  }
  return true;
}

void send(Request request, Callback callback) {
  if (!multi) {
    Transfer refused;
    refused.callback = std::move(callback);
    deliver(refused);
    return;
  }

  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->callback = std::move(callback);

  if (setUp(*transfer) && curl_multi_add_handle(multi, transfer->easy) == CURLM_OK) {
    transfers.push_back(std::move(transfer));
    return;
  }
  releaseHandles(*transfer);
  deliver(*transfer);
}

void pump() {
  if (!multi) return;
  int running = 0;
  if (curl_multi_perform(multi, &running) != CURLM_OK) return;

  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* const easy = message->easy_handle;
    CURLcode const result = message->data.result;

    auto found = transfers.begin();
    while (found != transfers.end() && (*found)->easy != easy) ++found;
    if (found == transfers.end()) continue;
    std::unique_ptr<Transfer> transfer = std::move(*found);
    transfers.erase(found);

    if (result == CURLE_OK) {
      long code = 0;
      if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK)
        transfer->reply.status = static_cast<int32_t>(code);
    } else {
      transfer->reply.status = 0;
    }

    // The message points into the handle; it is not read after the handle goes.
    curl_multi_remove_handle(multi, easy);
    releaseHandles(*transfer);
    // The callback may send the next request: it is simply appended and first
    // progresses at the next curl_multi_perform.
    deliver(*transfer);
  }
}

void shutdown() {
  if (!multi) {
    curl_global_cleanup();
    return;
  }
  for (auto& transfer : transfers) {
    curl_multi_remove_handle(multi, transfer->easy);
    releaseHandles(*transfer);
  }
  transfers.clear();
  curl_multi_cleanup(multi);
  multi = nullptr;
  curl_global_cleanup();
}

}  // namespace HTTP
