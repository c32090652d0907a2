#include "json/json.h"

#include <cmath>
#include <utility>

#include "base/log.h"

namespace {

// The library's own parse context, with three faults of it mended:
// - Numbers too large for a double: the library's double constructor throws on
//   infinity, so a body such as {"a":1e999} would raise an exception out of the parser.
//   Such a number is stored as null and remembered (the library ignores what set_number
//   answers), and the whole document is refused.
// - Nesting: the library counts the depth of arrays only, so a body of nested objects
//   ({"a":{"a":...) recursed until the stack ran out (about 80 KB of body was enough
//   on Windows, whose main thread has 2 MiB). Objects now count like arrays, so every
//   document deeper than the library's limit is a syntax error.
// - Size: a parsed value costs some 40 to 150 bytes of memory whatever its text, so 16
//   MiB of "{}," became gigabytes of tree. The parse stops at the first value past
//   maxValues, before it is made.
// Nested values are parsed with this same context and share the tally.
struct Tally {
  size_t valuesLeft;
  bool outOfRange = false;
  bool tooMany = false;

  bool takeOne() {
    if (valuesLeft == 0) {
      tooMany = true;
      return false;
    }
    --valuesLeft;
    return true;
  }
};

class BoundedContext : public picojson::default_parse_context {
 public:
  BoundedContext(picojson::value* out, size_t depths, Tally* tally)
      : default_parse_context(out, depths), tally_(tally) {}

  // The library's parse_object_stop gives the level back, as its array functions do.
  bool parse_object_start() {
    if (depths_ == 0) return false;
    --depths_;
    *out_ = picojson::value(picojson::object_type, false);
    return true;
  }

  bool set_number(double f) {
    if (std::isfinite(f)) return default_parse_context::set_number(f);
    tally_->outOfRange = true;
    return set_null();
  }

  template <typename Iter>
  bool parse_array_item(picojson::input<Iter>& in, size_t) {
    if (!tally_->takeOne()) return false;
    picojson::array& a = out_->get<picojson::array>();
    a.push_back(picojson::value());
    BoundedContext ctx(&a.back(), depths_, tally_);
    return picojson::_parse(ctx, in);
  }

  template <typename Iter>
  bool parse_object_item(picojson::input<Iter>& in, std::string const& key) {
    if (!tally_->takeOne()) return false;
    picojson::object& o = out_->get<picojson::object>();
    BoundedContext ctx(&o[key], depths_, tally_);
    return picojson::_parse(ctx, in);
  }

 private:
  Tally* tally_;
};

constexpr char const* kRootNotObject = "JSON root is not an object";
constexpr char const* kNumberOutOfRange = "JSON number out of range";

void warnFallback(std::string const& key) {
  Log::err("JSON: Field not found '" + key + "', using fallback value");
}

// Copies the member into out when it has kind T; otherwise warns and uses the fallback.
template <typename T>
bool getMember(picojson::object const& object, std::string const& key, T& out, T const& fallback) {
  auto const it = object.find(key);
  if (it != object.end() && it->second.is<T>()) {
    out = it->second.get<T>();
    return true;
  }
  warnFallback(key);
  out = fallback;
  return false;
}

// Points out at the member when it has kind T; otherwise warns and points at an empty T.
template <typename T>
bool viewMember(picojson::object const& object, std::string const& key, T const*& out) {
  static T const empty;
  auto const it = object.find(key);
  if (it != object.end() && it->second.is<T>()) {
    out = &it->second.get<T>();
    return true;
  }
  warnFallback(key);
  out = &empty;
  return false;
}

}  // namespace

namespace JSON {

ParseResult parseObject(std::vector<uint8_t> const& bytes, size_t valueBound) {
  picojson::value root;
  std::string error;
  Tally tally{valueBound};
  // The root is a value too.
  tally.takeOne();
  BoundedContext ctx(&root, JSON::maxDepth, &tally);
  // Straight from the body's bytes: no text copy of a body that may be 16 MiB.
  picojson::_parse(ctx, bytes.begin(), bytes.end(), &error);
  if (tally.tooMany) return {{}, "JSON document has more than " + std::to_string(valueBound) + " values"};
  if (!error.empty()) return {{}, error};
  if (!root.is<picojson::object>()) return {{}, kRootNotObject};
  if (tally.outOfRange) return {{}, kNumberOutOfRange};
  // Moved out, never copied: the tree is the largest thing a reply makes.
  return {std::move(root.get<picojson::object>()), {}};
}

bool getString(picojson::object const& object, std::string const& key, std::string& out,
               std::string const& fallback) {
  return getMember(object, key, out, fallback);
}

bool getInt64(picojson::object const& object, std::string const& key, int64_t& out, int64_t fallback) {
  // Not is<double>: with 64-bit integers on, the library also answers true for int64
  // there, whereas only integer literals are accepted here.
  return getMember(object, key, out, fallback);
}

bool getObject(picojson::object const& object, std::string const& key, picojson::object const*& out) {
  return viewMember(object, key, out);
}

bool getArray(picojson::object const& object, std::string const& key, picojson::array const*& out) {
  return viewMember(object, key, out);
}

void setString(picojson::object& object, std::string const& key, std::string&& value) {
  object[key] = picojson::value(std::move(value));
}

void setInt64(picojson::object& object, std::string const& key, int64_t value) {
  object[key] = picojson::value(value);
}

void setBool(picojson::object& object, std::string const& key, bool value) { object[key] = picojson::value(value); }

std::string serialize(picojson::object const& object) { return picojson::value(object).serialize(); }

}  // namespace JSON
