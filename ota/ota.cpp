#include "ota/ota.h"

#include <string>
#include <utility>

#include "base/log.h"
#include "base/log_text.h"
#include "json/json.h"

namespace OTA {

namespace {

// The value lines echo what the server sent: a value with a line break in it must not
// end its line and forge the next ones. Values without control bytes are written as
// they are.
void logValue(std::string const& name, std::string const& value) { Log::out(name + " = " + LogText::oneLine(value)); }

// Reads and logs the entries of "deps"; false at the first element that is not an object
// or lacks one of its texts (a missing size only warns), after that element's lines: the
// manifest is refused there, so a reply of a million unusable entries costs one entry's
// lines, not a million.
//
// An entry whose uri, hash or path holds a byte the log escapes is the last one read: it
// is kept, and the run fails at it whatever follows (its path or URL is refused before
// anything is fetched, and its hash can match no digest, whose text holds none), so the
// entries after it would only be echoed. Escaping writes such a byte four times over: a
// reply of nothing else would otherwise log four times its own size.
bool readEntries(picojson::array const& elements, ManifestDeps& deps) {
  uint64_t index = 0;
  for (picojson::value const& element : elements) {
    ++index;
    if (!element.is<picojson::object>()) return false;
    picojson::object const& object = element.get<picojson::object>();

    ManifestEntry entry;
    entry.index = index;
    bool usable = JSON::getString(object, "uri", entry.uri, "");
    if (!JSON::getString(object, "hash", entry.hash, "")) usable = false;
    if (!JSON::getString(object, "path", entry.path, "")) usable = false;
    JSON::getInt64(object, "size", entry.size, 0);

    std::string const prefix = "OTA entry_" + std::to_string(index);
    logValue(prefix + ".uri", entry.uri);
    logValue(prefix + ".hash", entry.hash);
    logValue(prefix + ".path", entry.path);
    logValue(prefix + ".size", std::to_string(entry.size));
    if (!usable) return false;
    bool const last = LogText::hasControl(entry.uri) || LogText::hasControl(entry.hash) ||
                      LogText::hasControl(entry.path);
    deps.entries.push_back(std::move(entry));
    if (last) break;
  }
  return true;
}

}  // namespace

HTTP::Request buildVerifyRequest(EnvironmentValues const& env) {
  picojson::object body;
  JSON::setBool(body, "want_bundled", env.platform == APPLE_OSX);
  JSON::setInt64(body, "stack_major", env.stackMajor);
  JSON::setInt64(body, "stack_minor", env.stackMinor);
  JSON::setInt64(body, "stack_patch", env.stackPatch);
  JSON::setString(body, "channel_host", std::string(env.otaHost));
  JSON::setString(body, "cpu_arch", std::string(cpuArchName(env.cpuArch, false)));
  JSON::setString(body, "platform", std::string(osTypeName(env.platform, false)));
  JSON::setString(body, "product_slug", std::string(appSlugName(env.edition, false)));

  HTTP::Request request;
  request.url = "https://" + env.otaHost + "/ota/verify";
  request.method = HTTP::Method::POST;
  request.maxBodyBytes = maxVerifyReplyBytes;
  std::string const text = JSON::serialize(body);
  request.body.assign(text.begin(), text.end());
  // With a content type of our own, libcurl adds none for the POST.
  request.setHeader("Content-Type", "application/json");
  request.setHeader("Accept", "application/json");
  return request;
}

Step onVerifyReply(HTTP::Reply const& reply, Manifest& manifest) {
  if (!reply.isSuccess()) {
    Log::err("POST failed: status=" + std::to_string(reply.status) + " body=" + LogText::clippedBody(reply.body));
    return Step::Failed;
  }
  Log::out("POST success: status=" + std::to_string(reply.status) + " size=" + std::to_string(reply.body.size()));

  JSON::ParseResult const parsed = JSON::parseObject(reply.body);
  if (!parsed.error.empty()) {
    // The parser quotes the rest of the line it stopped at, which may be the whole body.
    Log::err("Invalid JSON response: " + LogText::clippedBody({parsed.error.begin(), parsed.error.end()}));
    return Step::Failed;
  }
  picojson::object const& root = parsed.object;
  bool ok = true;

  if (!JSON::getString(root, "code", manifest.code, "")) ok = false;
  if (!JSON::getString(root, "tag", manifest.tag, "")) ok = false;
  if (!JSON::getString(root, "cdn", manifest.cdn, "")) ok = false;
  logValue("OTA code", manifest.code);
  logValue("OTA tag", manifest.tag);
  logValue("OTA cdn", manifest.cdn);

  // Objects and arrays are read where they stand in the parsed tree, never copied.
  picojson::object const* app = nullptr;
  if (!JSON::getObject(root, "app", app)) ok = false;
  if (!JSON::getString(*app, "uri", manifest.app.uri, "")) ok = false;
  if (!JSON::getString(*app, "hash", manifest.app.hash, "")) ok = false;
  if (!JSON::getInt64(*app, "size", manifest.app.size, 0)) ok = false;
  logValue("OTA app.uri", manifest.app.uri);
  logValue("OTA app.hash", manifest.app.hash);
  logValue("OTA app.size", std::to_string(manifest.app.size));

  // Dependencies are optional: without a "deps" object the run goes on with none.
  picojson::object const* deps = nullptr;
  if (JSON::getObject(root, "deps", deps)) {
    bool const hashRead = JSON::getString(*deps, "hash", manifest.deps.hash, "");
    picojson::array const* entries = nullptr;
    bool const entriesRead = JSON::getArray(*deps, "entries", entries);
    if (!entriesRead || !hashRead) ok = false;
    logValue("OTA deps.hash", manifest.deps.hash);
    if (!readEntries(*entries, manifest.deps)) ok = false;
  }

  return ok ? Step::Done : Step::Failed;
}

}  // namespace OTA
