// The verify reply handler on arbitrary bodies (and a few statuses): it never throws or
// crashes, always ends in exactly one of the two states it may set, and accepts exactly
// the replies that carry a usable manifest, checked against the rule written out here
// from the reply's documented shape rather than from the handler's steps. An accepted
// manifest holds the reply's values and numbers its entries from 1; whatever the values,
// each line of progress stays one line, and a failed reply's body is shown up to 4 KiB.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/log_text.h"
#include "fuzz_check.h"
#include "http/http.h"
#include "json/json.h"
#include "ota/ota.h"

namespace {

picojson::value const* member(picojson::object const& object, char const* key) {
  auto const it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

template <typename T>
bool has(picojson::object const& object, char const* key) {
  picojson::value const* v = member(object, key);
  return v && v->is<T>();
}

std::string text(picojson::object const& object, char const* key) { return member(object, key)->get<std::string>(); }

// Reading ends after the first entry whose texts the log must escape: the run fails at
// that entry, so the ones after it are never read, nor judged.
bool endsReading(picojson::object const& entry) {
  return LogText::hasControl(text(entry, "uri")) || LogText::hasControl(text(entry, "hash")) ||
         LogText::hasControl(text(entry, "path"));
}

// A usable manifest: "code", "tag", "cdn" texts; "app" an object with texts "uri" and
// "hash" and an integer "size"; "deps" absent or not an object, or an object with a text
// "hash" and an array "entries" of objects with texts "uri", "hash" and "path" (their
// "size" may be anything), up to and including the first that ends the reading.
bool usable(picojson::object const& root) {
  if (!has<std::string>(root, "code") || !has<std::string>(root, "tag") || !has<std::string>(root, "cdn")) return false;
  if (!has<picojson::object>(root, "app")) return false;
  picojson::object const& app = member(root, "app")->get<picojson::object>();
  if (!has<std::string>(app, "uri") || !has<std::string>(app, "hash") || !has<int64_t>(app, "size")) return false;
  if (!has<picojson::object>(root, "deps")) return true;
  picojson::object const& deps = member(root, "deps")->get<picojson::object>();
  if (!has<std::string>(deps, "hash") || !has<picojson::array>(deps, "entries")) return false;
  for (picojson::value const& element : member(deps, "entries")->get<picojson::array>()) {
    if (!element.is<picojson::object>()) return false;
    picojson::object const& entry = element.get<picojson::object>();
    if (!has<std::string>(entry, "uri") || !has<std::string>(entry, "hash") || !has<std::string>(entry, "path")) {
      return false;
    }
    if (endsReading(entry)) break;
  }
  return true;
}

// Every line break is a line end: no line holds a control of any kind.
void checkLines(std::string const& log) {
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
    FUZZ_CHECK(!LogText::hasControl(std::string_view(log).substr(at, end - at)));
  }
}

void checkAccepted(picojson::object const& root, OTA::Manifest const& manifest) {
  FUZZ_CHECK(manifest.code == text(root, "code"));
  FUZZ_CHECK(manifest.tag == text(root, "tag"));
  FUZZ_CHECK(manifest.cdn == text(root, "cdn"));
  picojson::object const& app = member(root, "app")->get<picojson::object>();
  FUZZ_CHECK(manifest.app.uri == text(app, "uri"));
  FUZZ_CHECK(manifest.app.hash == text(app, "hash"));
  FUZZ_CHECK(manifest.app.size == member(app, "size")->get<int64_t>());
  if (!has<picojson::object>(root, "deps")) {
    FUZZ_CHECK(manifest.deps.hash.empty() && manifest.deps.entries.empty());
    return;
  }
  picojson::object const& deps = member(root, "deps")->get<picojson::object>();
  FUZZ_CHECK(manifest.deps.hash == text(deps, "hash"));
  picojson::array const& elements = member(deps, "entries")->get<picojson::array>();
  size_t read = 0;
  while (read < elements.size()) {
    if (endsReading(elements[read++].get<picojson::object>())) break;
  }
  FUZZ_CHECK(manifest.deps.entries.size() == read);
  for (size_t i = 0; i < read; ++i) {
    picojson::object const& element = elements[i].get<picojson::object>();
    OTA::ManifestEntry const& entry = manifest.deps.entries[i];
    FUZZ_CHECK(entry.index == i + 1);
    FUZZ_CHECK(entry.uri == text(element, "uri"));
    FUZZ_CHECK(entry.hash == text(element, "hash"));
    FUZZ_CHECK(entry.path == text(element, "path"));
    FUZZ_CHECK(entry.size == (has<int64_t>(element, "size") ? member(element, "size")->get<int64_t>() : 0));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  // A leading 0xFF byte (never the start of a JSON text) takes the next byte as a status
  // code divided by 4; any other input is a 200 reply's body.
  HTTP::Reply reply;
  reply.status = 200;
  if (size >= 2 && data[0] == 0xFF) {
    reply.status = data[1] * 4;
    data += 2;
    size -= 2;
  }
  reply.body.assign(data, data + size);

  std::string out;
  std::string err;
  OTA::Manifest manifest;
  Step outcome;
  {
    Log::Capture capture(out, err);
    outcome = OTA::onVerifyReply(reply, manifest);
  }

  if (!reply.isSuccess()) {
    FUZZ_CHECK(outcome == Step::Failed);
    FUZZ_CHECK(out.empty());
    FUZZ_CHECK(manifest.code.empty() && manifest.cdn.empty() && manifest.app.uri.empty() &&
               manifest.deps.entries.empty());
    // The body is reported on its one line, whatever it holds.
    FUZZ_CHECK(err.rfind("POST failed: status=" + std::to_string(reply.status) + " body=", 0) == 0);
    FUZZ_CHECK(err.find('\n') == err.size() - 1);
    checkLines(err);
    return 0;
  }
  // Whatever the server sent, every line stays one line: no value carries a control into it.
  checkLines(out);
  checkLines(err);
  JSON::ParseResult const parsed = JSON::parseObject(reply.body);
  if (!parsed.error.empty()) {
    FUZZ_CHECK(outcome == Step::Failed);
    FUZZ_CHECK(err.rfind("Invalid JSON response: ", 0) == 0);
    return 0;
  }
  bool const accepted = outcome == Step::Done;
  FUZZ_CHECK(accepted == usable(parsed.object));
  if (accepted) checkAccepted(parsed.object, manifest);
  return 0;
}
