// The JSON layer on arbitrary bodies: parsing never throws or crashes, a refused body
// leaves an empty object, every getter agrees with the kind of each member and warns
// exactly when it falls back, and what serialize writes parses back to the same values
// (an integral double may come back as an integer, which is the same number) and is a
// fixed point from then on. The setters' text survives the same round trip whatever its
// bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/log.h"
#include "fuzz_check.h"
#include "json/json.h"

namespace {

std::vector<uint8_t> bytesOf(std::string const& text) { return {text.begin(), text.end()}; }

bool sameValue(picojson::value const& a, picojson::value const& b);

bool sameObject(picojson::object const& a, picojson::object const& b) {
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    if (ia->first != ib->first || !sameValue(ia->second, ib->second)) return false;
  }
  return true;
}

bool sameValue(picojson::value const& a, picojson::value const& b) {
  if (a.is<int64_t>() && b.is<int64_t>()) return a.get<int64_t>() == b.get<int64_t>();
  if (a.is<picojson::null>()) return b.is<picojson::null>();
  if (a.is<bool>()) return b.is<bool>() && a.get<bool>() == b.get<bool>();
  if (a.is<std::string>()) return b.is<std::string>() && a.get<std::string>() == b.get<std::string>();
  if (a.is<picojson::array>()) {
    if (!b.is<picojson::array>()) return false;
    auto const& x = a.get<picojson::array>();
    auto const& y = b.get<picojson::array>();
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!sameValue(x[i], y[i])) return false;
    }
    return true;
  }
  if (a.is<picojson::object>()) return b.is<picojson::object>() && sameObject(a.get<picojson::object>(), b.get<picojson::object>());
  // A double, or an int64 on one side only: compare as numbers (with 64-bit integers on,
  // is<double> holds for both kinds).
  if (!a.is<double>() || !b.is<double>()) return false;
  // (The library's get<double> turns an int64 value into a double in place, so it is
  // only called on doubles.)
  if (a.is<int64_t>() != b.is<int64_t>()) {
    // A double written without a fraction (integral, below 2^53, or with 17 digits and
    // no exponent) reads back as an integer; an integer never comes back as a double.
    if (a.is<int64_t>()) return false;
    double const d = a.get<double>();
    return std::trunc(d) == d && d == static_cast<double>(b.get<int64_t>());
  }
  return a.get<double>() == b.get<double>();
}

std::string warning(std::string const& key) { return "JSON: Field not found '" + key + "', using fallback value\n"; }

// Every getter on every member (and on a key that is certainly absent): true exactly
// for the member's kind, the fallback and one warning otherwise.
void checkGetters(picojson::object const& object) {
  std::string out;
  std::string err;
  std::string expectedErr;
  Log::Capture capture(out, err);
  std::string absent = "k";
  for (auto const& [key, value] : object) {
    if (absent.size() <= key.size()) absent.assign(key.size() + 1, 'k');

    std::string text;
    bool const isString = JSON::getString(object, key, text, "fallback");
    FUZZ_CHECK(isString == value.is<std::string>());
    FUZZ_CHECK(text == (isString ? value.get<std::string>() : "fallback"));
    if (!isString) expectedErr += warning(key);

    int64_t number = 0;
    bool const isInt = JSON::getInt64(object, key, number, -7);
    FUZZ_CHECK(isInt == value.is<int64_t>());
    FUZZ_CHECK(number == (isInt ? value.get<int64_t>() : -7));
    if (!isInt) expectedErr += warning(key);

    picojson::object const* inner = nullptr;
    bool const isObject = JSON::getObject(object, key, inner);
    FUZZ_CHECK(isObject == value.is<picojson::object>());
    FUZZ_CHECK(isObject ? inner == &value.get<picojson::object>() : inner->empty());
    if (!isObject) expectedErr += warning(key);

    picojson::array const* items = nullptr;
    bool const isArray = JSON::getArray(object, key, items);
    FUZZ_CHECK(isArray == value.is<picojson::array>());
    FUZZ_CHECK(isArray ? items == &value.get<picojson::array>() : items->empty());
    if (!isArray) expectedErr += warning(key);
  }
  std::string text = "unchanged";
  FUZZ_CHECK(!JSON::getString(object, absent, text, ""));
  FUZZ_CHECK(text.empty());
  expectedErr += warning(absent);
  FUZZ_CHECK(out.empty());
  FUZZ_CHECK(err == expectedErr);
}

void checkRoundTrip(picojson::object const& object) {
  std::string const first = JSON::serialize(object);
  // Compact: nothing below 0x20 outside escapes, so the text is one line.
  for (char const c : first) FUZZ_CHECK(static_cast<uint8_t>(c) >= 0x20);
  JSON::ParseResult const again = JSON::parseObject(bytesOf(first));
  FUZZ_CHECK(again.error.empty());
  FUZZ_CHECK(sameObject(object, again.object));
  std::string const second = JSON::serialize(again.object);
  JSON::ParseResult const third = JSON::parseObject(bytesOf(second));
  FUZZ_CHECK(third.error.empty());
  FUZZ_CHECK(JSON::serialize(third.object) == second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::vector<uint8_t> const body(data, data + size);
  JSON::ParseResult const parsed = JSON::parseObject(body);
  if (parsed.error.empty()) {
    checkGetters(parsed.object);
    checkRoundTrip(parsed.object);
  } else {
    FUZZ_CHECK(parsed.object.empty());
    FUZZ_CHECK(parsed.error.rfind("syntax error at line ", 0) == 0 || parsed.error == "JSON root is not an object" ||
               parsed.error == "JSON number out of range" ||
               parsed.error == "JSON document has more than 1000000 values");
  }

  // The raw bytes as a key and as a string value of a request being built.
  std::string const text(data, data + size);
  picojson::object built;
  JSON::setString(built, text, std::string(text));
  JSON::setInt64(built, text + "#", static_cast<int64_t>(size) * -1);
  JSON::setBool(built, text + "?", size % 2 == 0);
  checkRoundTrip(built);
  return 0;
}
