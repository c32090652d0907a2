#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "base/log.h"
#include "json/json.h"

namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

JSON::ParseResult parse(std::string_view text) { return JSON::parseObject(bytes(text)); }

std::string warning(std::string const& key) { return "JSON: Field not found '" + key + "', using fallback value\n"; }

TEST(JsonParseTest, SyntaxErrorTexts) {
  struct Case {
    std::string_view body;
    std::string_view error;
  };
  Case const cases[] = {
      {"", "syntax error at line 1 near: "},
      {"   ", "syntax error at line 1 near: "},
      {"{", "syntax error at line 1 near: "},
      {"{\"a\":}", "syntax error at line 1 near: }"},
      {"{\n\"a\": 1,\n\"b\" 2\n}", "syntax error at line 3 near: 2"},
      {"{\"a\": 1,\n  oops here\n}", "syntax error at line 2 near: oops here"},
      // Bytes below 0x20 are left out of the quoted remainder; the line ends at its feed.
      {"{\"a\":\x01x\ty\n\"b\":1}", "syntax error at line 1 near: xy"},
      // A byte-order mark is not white space.
      {"\xEF\xBB\xBF{}", "syntax error at line 1 near: \xEF\xBB\xBF{}"},
      // Only blank, tab, line feed and carriage return are skipped.
      {"\v{}", "syntax error at line 1 near: {}"},
      {"{'a':1}", "syntax error at line 1 near: 'a':1}"},
      {"{\"a\":\"unterminated}", "syntax error at line 1 near: "},
      {"{\"a\":tru}", "syntax error at line 1 near: }"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.body);
    JSON::ParseResult const r = parse(c.body);
    EXPECT_EQ(r.error, c.error);
    EXPECT_TRUE(r.object.empty());
  }
}

TEST(JsonParseTest, RootMustBeAnObject) {
  for (std::string_view const body : {"[1,2]", "null", "\"text\"", "3", "true", " [] "}) {
    SCOPED_TRACE(body);
    JSON::ParseResult const r = parse(body);
    EXPECT_EQ(r.error, "JSON root is not an object");
    EXPECT_TRUE(r.object.empty());
  }
}

TEST(JsonParseTest, AcceptsObjectsAndIgnoresTrailingText) {
  JSON::ParseResult r = parse(" \t\r\n{\"a\": 1} and further words");
  EXPECT_EQ(r.error, "");
  ASSERT_EQ(r.object.size(), 1u);
  EXPECT_TRUE(r.object.at("a").is<int64_t>());

  r = parse("{}");
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.object.empty());

  // A repeated key keeps its last value.
  r = parse("{\"k\":1,\"k\":\"two\"}");
  EXPECT_EQ(r.error, "");
  ASSERT_TRUE(r.object.at("k").is<std::string>());
  EXPECT_EQ(r.object.at("k").get<std::string>(), "two");

  // Bytes are taken as they are: UTF-8 in strings and escapes come through decoded.
  r = parse("{\"name\":\"d\xC3\xA9mo\",\"esc\":\"\\u00e9\\/\\n\"}");
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.object.at("name").get<std::string>(), "d\xC3\xA9mo");
  EXPECT_EQ(r.object.at("esc").get<std::string>(), "\xC3\xA9/\n");
}

TEST(JsonParseTest, IntegersAndDoubles) {
  JSON::ParseResult const r = parse(
      "{\"i\":3,\"neg\":-42,\"max\":9223372036854775807,\"min\":-9223372036854775808,"
      "\"f\":3.0,\"e\":3e0,\"big\":9223372036854775808,\"small\":-9223372036854775809}");
  ASSERT_EQ(r.error, "");
  auto const& o = r.object;
  EXPECT_TRUE(o.at("i").is<int64_t>());
  EXPECT_EQ(o.at("i").get<int64_t>(), 3);
  EXPECT_EQ(o.at("neg").get<int64_t>(), -42);
  ASSERT_TRUE(o.at("max").is<int64_t>());
  EXPECT_EQ(o.at("max").get<int64_t>(), INT64_MAX);
  ASSERT_TRUE(o.at("min").is<int64_t>());
  EXPECT_EQ(o.at("min").get<int64_t>(), INT64_MIN);
  for (char const* key : {"f", "e", "big", "small"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(o.at(key).is<int64_t>());
    EXPECT_TRUE(o.at(key).is<double>());
  }
}

TEST(JsonParseTest, NoInputRaisesAnException) {
  // Numbers beyond the double range would make the library's value constructor throw;
  // the document is refused instead, wherever they sit.
  for (std::string_view const body :
       {"{\"a\":1e999}", "{\"a\":-1e999}", "{\"a\":[1,2,1e400]}", "{\"a\":{\"b\":{\"c\":[1E+999]}}}"}) {
    SCOPED_TRACE(body);
    JSON::ParseResult r;
    EXPECT_NO_THROW(r = parse(body));
    EXPECT_EQ(r.error, "JSON number out of range");
    EXPECT_TRUE(r.object.empty());
  }
  // A syntax error after such a number is still reported as one.
  JSON::ParseResult r = parse("{\"a\":1e999,}");
  EXPECT_EQ(r.error, "syntax error at line 1 near: }");
  // Only an object root counts; an out-of-range number at the root is no object either.
  r = parse("1e999");
  EXPECT_EQ(r.error, "JSON root is not an object");

  // Very deep nesting stops at the library's depth limit instead of exhausting the stack.
  std::string const deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_NO_THROW(r = parse(deep));
  EXPECT_NE(r.error, "");
  // Large but finite numbers and an exact depth of a few levels are fine.
  r = parse("{\"a\":1e308,\"b\":[[[[{\"c\":-1.5e-300}]]]]}");
  EXPECT_EQ(r.error, "");
}

// An object nested `levels` deep, the root included; `kinds` picks the levels below the
// root in turn: 'o' an object (holding the next level under the key "a"), 'a' an array.
std::string nested(size_t levels, std::string_view kinds) {
  std::string text = "{";
  std::string closers = "}";
  bool parentIsObject = true;
  for (size_t i = 1; i < levels; ++i) {
    bool const object = kinds[(i - 1) % kinds.size()] == 'o';
    if (parentIsObject) text += "\"a\":";
    text += object ? '{' : '[';
    closers += object ? '}' : ']';
    parentIsObject = object;
  }
  return text + std::string(closers.rbegin(), closers.rend());
}

TEST(JsonParseTest, NestingAndSizeAreBounded) {
  // Deep enough to exhaust a 2 MiB stack through the library's recursion if it were
  // not refused; object-only, array-only and mixed.
  for (std::string_view const kinds : {"o", "a", "oa", "ooa"}) {
    SCOPED_TRACE(kinds);
    JSON::ParseResult r;
    EXPECT_NO_THROW(r = parse(nested(200000, kinds)));
    EXPECT_TRUE(r.error.starts_with("syntax error at line 1 near: ")) << r.error.substr(0, 80);
    EXPECT_TRUE(r.object.empty());

    // The bound itself is accepted, one level more is not.
    r = parse(nested(JSON::maxDepth, kinds));
    EXPECT_EQ(r.error, "");
    r = parse(nested(JSON::maxDepth + 1, kinds));
    EXPECT_TRUE(r.error.starts_with("syntax error at line 1 near: ")) << r.error;
  }

  // Values count wherever they stand (elements, members, a key given twice, the root):
  // up to the bound they are accepted, one more is refused; the real bound only past it,
  // as a million values take a while to parse.
  std::string millionAndOne = "{\"a\":[0";
  for (size_t i = 2; i < JSON::maxValues; ++i) millionAndOne += ",0";
  millionAndOne += "]}";
  struct Sized {
    std::string text;
    size_t bound;
    bool accepted;
  } const sized[] = {{R"({"a":[0,0]})", 4, true},          {R"({"a":[[{}],0]})", 4, false},
                     {R"({"k":{},"k":{},"k":{},"k":{}})", 4, false}, {millionAndOne, JSON::maxValues, false}};
  for (Sized const& c : sized) {
    JSON::ParseResult const r = JSON::parseObject(bytes(c.text), c.bound);
    EXPECT_EQ(r.error, c.accepted ? "" : "JSON document has more than " + std::to_string(c.bound) + " values")
        << c.text.substr(0, 40);
  }
}

class JsonGetterTest : public testing::Test {
 protected:
  void SetUp() override {
    JSON::ParseResult const r = parse(
        "{\"int\":10,\"neg\":-5,\"float\":10.0,\"exp\":1e1,\"digits\":\"10\",\"null\":null,"
        "\"empty\":\"\",\"text\":\"hello\",\"bool\":true,\"one\":1,\"obj\":{\"x\":1},\"arr\":[1,\"b\"],"
        "\"huge\":9223372036854775808}");
    ASSERT_EQ(r.error, "");
    object_ = r.object;
  }

  picojson::object object_;
  std::string out_;
  std::string err_;
  Log::Capture capture_{out_, err_};
};

TEST_F(JsonGetterTest, Int64AcceptsOnlyIntegerLiterals) {
  int64_t value = 0;
  EXPECT_TRUE(JSON::getInt64(object_, "int", value, -1));
  EXPECT_EQ(value, 10);
  EXPECT_TRUE(JSON::getInt64(object_, "neg", value, -1));
  EXPECT_EQ(value, -5);
  EXPECT_EQ(err_, "");

  for (char const* key : {"float", "exp", "digits", "null", "bool", "obj", "arr", "huge", "missing", "INT"}) {
    SCOPED_TRACE(key);
    err_.clear();
    value = 0;
    EXPECT_FALSE(JSON::getInt64(object_, key, value, 77));
    EXPECT_EQ(value, 77);
    EXPECT_EQ(err_, warning(key));
  }
  EXPECT_EQ(out_, "");
}

TEST_F(JsonGetterTest, StringObjectAndArray) {
  std::string text = "old";
  EXPECT_TRUE(JSON::getString(object_, "empty", text, "fallback"));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(JSON::getString(object_, "text", text, "fallback"));
  EXPECT_EQ(text, "hello");
  EXPECT_EQ(err_, "");

  EXPECT_FALSE(JSON::getString(object_, "null", text, "fallback"));
  EXPECT_EQ(text, "fallback");
  EXPECT_EQ(err_, warning("null"));
  err_.clear();
  EXPECT_FALSE(JSON::getString(object_, "int", text, "fb"));
  EXPECT_EQ(text, "fb");
  EXPECT_EQ(err_, warning("int"));
  err_.clear();
  // Keys are compared exactly: case and surrounding blanks matter.
  EXPECT_FALSE(JSON::getString(object_, "Text", text, ""));
  EXPECT_FALSE(JSON::getString(object_, " text", text, ""));
  EXPECT_EQ(err_, warning("Text") + warning(" text"));
  err_.clear();

  // Objects and arrays are the members themselves, never copies.
  picojson::object const* obj = nullptr;
  EXPECT_TRUE(JSON::getObject(object_, "obj", obj));
  EXPECT_EQ(obj, &object_.at("obj").get<picojson::object>());
  EXPECT_FALSE(JSON::getObject(object_, "arr", obj));
  ASSERT_NE(obj, nullptr);
  EXPECT_TRUE(obj->empty());
  EXPECT_EQ(err_, warning("arr"));
  err_.clear();

  picojson::array const* arr = nullptr;
  EXPECT_TRUE(JSON::getArray(object_, "arr", arr));
  EXPECT_EQ(arr, &object_.at("arr").get<picojson::array>());
  EXPECT_FALSE(JSON::getArray(object_, "obj", arr));
  ASSERT_NE(arr, nullptr);
  EXPECT_TRUE(arr->empty());
  EXPECT_FALSE(JSON::getArray(object_, "missing", arr));
  EXPECT_TRUE(arr->empty());
  EXPECT_EQ(err_, warning("obj") + warning("missing"));
  EXPECT_EQ(out_, "");
}

TEST_F(JsonGetterTest, WarningCarriesTheKeyAsItIs) {
  std::string text;
  EXPECT_FALSE(JSON::getString(object_, "it's d\xC3\xA9j\xC3\xA0", text, ""));
  EXPECT_EQ(err_, warning("it's d\xC3\xA9j\xC3\xA0"));
  err_.clear();
  EXPECT_FALSE(JSON::getString(object_, "", text, ""));
  EXPECT_EQ(err_, "JSON: Field not found '', using fallback value\n");
}

TEST(JsonSerializeTest, KeyOrderAndReplacement) {
  picojson::object o;
  JSON::setString(o, "b", "second");
  JSON::setString(o, "a", "first");
  EXPECT_EQ(JSON::serialize(o), "{\"a\":\"first\",\"b\":\"second\"}");

  // Byte order: capitals before lower case, a shorter key before its extensions.
  picojson::object keys;
  for (char const* k : {"ab", "a", "B", "_", "a_b", "\xC3\xA9"}) JSON::setInt64(keys, k, 1);
  EXPECT_EQ(JSON::serialize(keys), "{\"B\":1,\"_\":1,\"a\":1,\"a_b\":1,\"ab\":1,\"\xC3\xA9\":1}");

  picojson::object twice;
  JSON::setInt64(twice, "k", 1);
  JSON::setInt64(twice, "k", 2);
  EXPECT_EQ(JSON::serialize(twice), "{\"k\":2}");
  JSON::setBool(twice, "k", false);
  EXPECT_EQ(JSON::serialize(twice), "{\"k\":false}");
  JSON::setString(twice, "k", "x");
  EXPECT_EQ(JSON::serialize(twice), "{\"k\":\"x\"}");

  EXPECT_EQ(JSON::serialize({}), "{}");
}

TEST(JsonSerializeTest, ValuesAndEscapes) {
  struct Case {
    std::string value;
    std::string_view written;
  };
  Case const cases[] = {
      {"a/b", "\"a\\/b\""},
      {"tab\there", "\"tab\\there\""},
      {std::string("\x01", 1), "\"\\u0001\""},
      {std::string("\x00", 1), "\"\\u0000\""},
      {"\x1f", "\"\\u001f\""},
      {"\x7f", "\"\\u007f\""},
      {"\"q\" \\", "\"\\\"q\\\" \\\\\""},
      {"\b\f\n\r", "\"\\b\\f\\n\\r\""},
      {"d\xC3\xA9mo \xF0\x9F\x98\x80", "\"d\xC3\xA9mo \xF0\x9F\x98\x80\""},
      {"", "\"\""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.written);
    picojson::object o;
    std::string value = c.value;
    JSON::setString(o, "s", std::move(value));
    EXPECT_EQ(JSON::serialize(o), "{\"s\":" + std::string(c.written) + "}");
  }

  picojson::object numbers;
  JSON::setInt64(numbers, "max", INT64_MAX);
  JSON::setInt64(numbers, "min", INT64_MIN);
  JSON::setInt64(numbers, "zero", 0);
  JSON::setBool(numbers, "t", true);
  numbers["n"] = picojson::value();
  numbers["d"] = picojson::value(2.5);
  numbers["w"] = picojson::value(3.0);
  EXPECT_EQ(JSON::serialize(numbers),
            "{\"d\":2.5,\"max\":9223372036854775807,\"min\":-9223372036854775808,\"n\":null,\"t\":true,"
            "\"w\":3,\"zero\":0}");
}

TEST(JsonSerializeTest, RoundTripThroughTheParser) {
  picojson::object o;
  JSON::setString(o, "text", "a/b\t\x01\x7f\"\\ d\xC3\xA9mo");
  JSON::setInt64(o, "n", -123456789012345LL);
  JSON::setBool(o, "flag", true);
  std::string const text = JSON::serialize(o);
  EXPECT_EQ(text.find_first_of(" \n"), text.find(" d\xC3\xA9mo"));
  JSON::ParseResult const r = JSON::parseObject(bytes(text));
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(JSON::serialize(r.object), text);
  EXPECT_EQ(r.object.at("text").get<std::string>(), "a/b\t\x01\x7f\"\\ d\xC3\xA9mo");
  EXPECT_EQ(r.object.at("n").get<int64_t>(), -123456789012345LL);
}

}  // namespace
