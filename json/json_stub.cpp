#include "json/json.h"

// Temporary: the JSON layer is not built yet; nothing parses and every read falls back.
namespace JSON {
ParseResult parseObject(std::vector<uint8_t> const&) { return {{}, "JSON layer not built yet"}; }
bool getString(picojson::object const&, std::string const&, std::string& out, std::string const& fallback) {
  out = fallback;
  return false;
}
bool getInt64(picojson::object const&, std::string const&, int64_t& out, int64_t fallback) {
  out = fallback;
  return false;
}
bool getObject(picojson::object const&, std::string const&, picojson::object& out,
               picojson::object const& fallback) {
  out = fallback;
  return false;
}
bool getArray(picojson::object const&, std::string const&, picojson::array& out, picojson::array const& fallback) {
  out = fallback;
  return false;
}
void setString(picojson::object& object, std::string const& key, std::string&& value) {
  object[key] = picojson::value(std::move(value));
}
void setInt64(picojson::object& object, std::string const& key, int64_t value) { object[key] = picojson::value(value); }
void setBool(picojson::object& object, std::string const& key, bool value) { object[key] = picojson::value(value); }
std::string serialize(picojson::object const& object) { return picojson::value(object).serialize(); }
}  // namespace JSON
