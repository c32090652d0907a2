#pragma once
// The launcher's only network client: asynchronous HTTPS transfers over libcurl's multi
// interface, driven solely by HTTP::pump from the main loop. Each request gets its
// completion callback exactly once (unless the engine is shut down first): at once
// inside HTTP::send when the transfer cannot start, otherwise from inside HTTP::pump.
// A failed transfer shows only as a status outside 200..299, usually 0.
//
// Every transfer is bounded, so that a hostile or broken server gets a clean failure
// (status 0) instead of the launcher's memory or patience:
// - HTTPS only: a URL of any other scheme, or none (libcurl would guess http), fails
//   before anything is sent, and so does a redirect away from HTTPS;
// - 15 seconds to connect (TLS handshake included);
// - a stall limit instead of a limit on the whole transfer: a transfer fails once it
//   has received less than 1 KiB during the last 60 seconds (http/stall_watch.h),
//   while a slow transfer that keeps progressing runs as long as it needs;
// - the request's maxBodyBytes: a body that would grow past it fails the transfer,
//   with or without an announced length.
// No proxy is set: libcurl's defaults apply, so https_proxy (or HTTPS_PROXY), all_proxy
// and no_proxy in the environment decide whether a transfer goes through a proxy.
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace HTTP {

enum class Method : uint32_t { GET = 0, POST = 1 };

inline constexpr uint64_t defaultMaxBodyBytes = uint64_t{16} << 20;

struct Request {
  std::unordered_map<std::string, std::string> headers;  // names in lower case
  std::vector<uint8_t> body;                             // sent with POST only
  Method method = Method::GET;
  std::string url;  // absolute URL, passed to libcurl unchanged
  // The most body bytes accepted; a longer body fails the transfer (status 0, the body
  // holding at most this many bytes), and an announced longer one fails it at once.
  uint64_t maxBodyBytes = defaultMaxBodyBytes;

  // Lower-cases the name byte by byte, then inserts or replaces the field.
  void setHeader(std::string name, std::string value);
};

struct Reply {
  std::unordered_map<std::string, std::string> headers;  // last response's fields
  std::vector<uint8_t> body;
  int32_t status = 0;  // 0 when the transfer failed or never started

  // True exactly when 200 <= status <= 299.
  bool isSuccess() const;
};

// The reply is valid only during the call; copy what is needed later.
using Callback = std::function<void(Reply const&)>;

// Starts the engine; true when it runs afterwards. A second call changes nothing.
bool startup();

// Starts one transfer; the outcome always arrives through the callback (may be empty).
void send(Request request, Callback callback);

// One curl_multi_perform, then the callbacks of finished transfers. Never waits.
void pump();

// Stops the engine; transfers in flight are dropped without their callbacks.
void shutdown();

}  // namespace HTTP
