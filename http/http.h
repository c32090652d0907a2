#pragma once
// The launcher's only network client: asynchronous HTTPS transfers over libcurl's multi
// interface, driven solely by HTTP::pump from the main loop. Each request gets its
// completion callback exactly once (unless the engine is shut down first): at once
// inside HTTP::send when the transfer cannot start, otherwise from inside HTTP::pump.
// A failed transfer shows only as a status outside 200..299, usually 0.
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace HTTP {

enum class Method : uint32_t { GET = 0, POST = 1 };

struct Request {
  std::unordered_map<std::string, std::string> headers;  // names in lower case
  std::vector<uint8_t> body;                             // sent with POST only
  Method method = Method::GET;
  std::string url;  // absolute URL, passed to libcurl unchanged

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
