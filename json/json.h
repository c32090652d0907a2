#pragma once
// Thin access layer over picojson (64-bit integers on): parse a reply body into a root
// object, read members with a required kind and a fallback, set members, and write an
// object as compact text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <picojson.h>

namespace JSON {

struct ParseResult {
  picojson::object object;  // empty whenever error is not empty
  std::string error;        // empty on success; the parser's text or
                            // "JSON root is not an object"
};

// Nesting deeper than this many arrays and objects together is refused.
inline constexpr size_t maxDepth = picojson::DEFAULT_MAX_DEPTHS;

// A document of more values than this (every object, array, member and element, the
// root included) is refused: parsed values cost many times their text. A manifest of
// 20,000 files has about 100,000, and a real one that fits in a verify reply's 16 MiB
// far fewer than this.
inline constexpr size_t maxValues = 1000000;

// Parses the bytes as they are (no BOM removal, no conversion); text after the first
// value is ignored. A document nested deeper than maxDepth is a syntax error, whatever
// mix of arrays and objects it nests, so no body can exhaust the stack; one of more than
// valueBound values fails with "JSON document has more than <valueBound> values" as soon
// as the parser reaches the value past the bound.
ParseResult parseObject(std::vector<uint8_t> const& bytes, size_t valueBound = maxValues);

// Each getter copies the member into out and returns true when it is present with the
// accepted kind; otherwise it writes "JSON: Field not found '<key>', using fallback
// value" to standard error, sets out to the fallback and returns false.
bool getString(picojson::object const& object, std::string const& key, std::string& out,
               std::string const& fallback);
bool getInt64(picojson::object const& object, std::string const& key, int64_t& out, int64_t fallback);

// The same for an object or an array member, without a copy: out points at the member
// itself (valid while object lives and is not changed), or, with the warning, at an
// empty object or array.
bool getObject(picojson::object const& object, std::string const& key, picojson::object const*& out);
bool getArray(picojson::object const& object, std::string const& key, picojson::array const*& out);

// Insert or replace one member.
void setString(picojson::object& object, std::string const& key, std::string&& value);
void setInt64(picojson::object& object, std::string const& key, int64_t value);
void setBool(picojson::object& object, std::string const& key, bool value);

// Compact text: no white space, members in ascending byte order of their keys.
std::string serialize(picojson::object const& object);

}  // namespace JSON
