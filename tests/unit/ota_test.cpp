// The verify request built from the environment values, and the decoding of verify
// replies into the manifest with the exact log lines and the outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "env/environment.h"
#include "json/json.h"
#include "ota/ota.h"
#include "support/lines.h"

namespace {

std::vector<uint8_t> bytes(std::string const& text) { return {text.begin(), text.end()}; }

using TestSupport::joinLines;

std::string fieldNotFound(std::string const& key) { return "JSON: Field not found '" + key + "', using fallback value"; }

TEST(VerifyRequest, BodyUrlAndHeadersFollowTheEnvironment) {
  struct Case {
    OsType platform;
    CpuArch arch;
    AppSlug edition;
    char const* host;
    int32_t major, minor, patch;
    char const* body;
  };
  Case const cases[] = {
      {MS_WINDOWS, X86_64, QUENZA_BO, "ota-demo.localhost", 10, 0, 22631,
       R"({"channel_host":"ota-demo.localhost","cpu_arch":"X86_64","platform":"MS_WINDOWS",)"
       R"("product_slug":"QUENZA_BO","stack_major":10,"stack_minor":0,"stack_patch":22631,"want_bundled":false})"},
      {APPLE_OSX, ARM_64, QUENZA_APP, "ota.example", 14, 2, 1,
       R"({"channel_host":"ota.example","cpu_arch":"ARM_64","platform":"APPLE_OSX",)"
       R"("product_slug":"QUENZA_APP","stack_major":14,"stack_minor":2,"stack_patch":1,"want_bundled":true})"},
      // Stack numbers keep their sign; names outside the tables are sent empty.
      {GNU_LINUX, static_cast<CpuArch>(9), static_cast<AppSlug>(7), "h", -1, -2147483647 - 1, 2147483647,
       R"({"channel_host":"h","cpu_arch":"","platform":"GNU_LINUX","product_slug":"",)"
       R"("stack_major":-1,"stack_minor":-2147483648,"stack_patch":2147483647,"want_bundled":false})"},
  };
  for (Case const& c : cases) {
    EnvironmentValues env;
    env.platform = c.platform;
    env.cpuArch = c.arch;
    env.edition = c.edition;
    env.otaHost = c.host;
    env.stackMajor = c.major;
    env.stackMinor = c.minor;
    env.stackPatch = c.patch;

    HTTP::Request const request = OTA::buildVerifyRequest(env);
    EXPECT_EQ(std::string(request.body.begin(), request.body.end()), c.body);
    EXPECT_EQ(request.url, std::string("https://") + c.host + "/ota/verify");
    EXPECT_EQ(request.method, HTTP::Method::POST);
    EXPECT_EQ(request.maxBodyBytes, uint64_t{16} << 20);
    EXPECT_EQ(request.headers, (std::unordered_map<std::string, std::string>{
                                   {"content-type", "application/json"}, {"accept", "application/json"}}));
  }
}

// A complete, valid reply; cases below change one part of it.
std::string const kEntry1 = R"({"uri":"deps/a.dll","hash":"HA","path":"bin/a.dll","size":10})";
std::string const kEntry2 = R"({"uri":"deps/b.dat","hash":"HB","path":"data/b.dat","size":20})";
std::string const kApp = R"("app":{"uri":"apps/q.exe","hash":"APPHASH","size":1024})";

std::string manifestJson(std::string const& app, std::string const& depsMember) {
  std::string text = R"({"code":"C1","tag":"v2.3","cdn":"https://cdn.localhost/x",)" + app;
  if (!depsMember.empty()) text += "," + depsMember;
  return text + "}";
}

std::string depsJson(std::string const& entries) { return R"("deps":{"hash":"DEPSHASH","entries":[)" + entries + "]}"; }

std::vector<std::string> const kHead = {"OTA code = C1", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x",
                                        "OTA app.uri = apps/q.exe", "OTA app.hash = APPHASH",
                                        "OTA app.size = 1024"};

std::vector<std::string> entryLines(int i, char const* uri, char const* hash, char const* path, char const* size) {
  std::string const p = "OTA entry_" + std::to_string(i);
  return {p + ".uri = " + uri, p + ".hash = " + hash, p + ".path = " + path, p + ".size = " + size};
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> const& parts) {
  std::vector<std::string> out;
  for (auto const& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct ReplyCase {
  char const* name;
  int32_t status;
  std::string body;
  std::vector<std::string> out;  // after the "POST success:" line
  std::vector<std::string> err;
  Step outcome;
};

class VerifyReply : public ::testing::Test {
 protected:
  void check(ReplyCase const& c, OTA::Manifest& manifest) {
    out_.clear();
    err_.clear();
    HTTP::Reply reply;
    reply.status = c.status;
    reply.body = bytes(c.body);
    Step const outcome = OTA::onVerifyReply(reply, manifest);

    std::vector<std::string> out;
    if (reply.isSuccess())
      out.push_back("POST success: status=" + std::to_string(c.status) + " size=" + std::to_string(c.body.size()));
    out.insert(out.end(), c.out.begin(), c.out.end());
    EXPECT_EQ(out_, joinLines(out)) << c.name;
    EXPECT_EQ(err_, joinLines(c.err)) << c.name;
    EXPECT_EQ(outcome, c.outcome) << c.name;
  }
  std::string out_;
  std::string err_;
  Log::Capture capture_{out_, err_};
};

constexpr auto kClean = Step::Done;
constexpr auto kError = Step::Failed;

TEST_F(VerifyReply, UsableManifestsAreStoredWhole) {
  OTA::Manifest manifest;
  check({"two entries", 200, manifestJson(kApp, depsJson(kEntry1 + "," + kEntry2)),
         concat({kHead, {"OTA deps.hash = DEPSHASH"}, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10"),
                 entryLines(2, "deps/b.dat", "HB", "data/b.dat", "20")}),
         {}, kClean},
        manifest);
  EXPECT_EQ(manifest.code, "C1");
  EXPECT_EQ(manifest.tag, "v2.3");
  EXPECT_EQ(manifest.cdn, "https://cdn.localhost/x");
  EXPECT_EQ(manifest.app.uri, "apps/q.exe");
  EXPECT_EQ(manifest.app.hash, "APPHASH");
  EXPECT_EQ(manifest.app.size, 1024);
  EXPECT_EQ(manifest.deps.hash, "DEPSHASH");
  ASSERT_EQ(manifest.deps.entries.size(), 2u);
  OTA::ManifestEntry const& second = manifest.deps.entries[1];
  EXPECT_EQ(manifest.deps.entries[0].index, 1u);
  EXPECT_EQ(second.index, 2u);
  EXPECT_EQ(second.uri, "deps/b.dat");
  EXPECT_EQ(second.hash, "HB");
  EXPECT_EQ(second.path, "data/b.dat");
  EXPECT_EQ(second.size, 20);
}

TEST_F(VerifyReply, AcceptedVariants) {
  ReplyCase const cases[] = {
      {"201 like 200", 201, manifestJson(kApp, depsJson(kEntry1)),
       concat({kHead, {"OTA deps.hash = DEPSHASH"}, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10")}), {},
       kClean},
      {"299 still success", 299, manifestJson(kApp, depsJson("")), concat({kHead, {"OTA deps.hash = DEPSHASH"}}),
       {}, kClean},
      {"empty entries", 200, manifestJson(kApp, depsJson("")), concat({kHead, {"OTA deps.hash = DEPSHASH"}}), {},
       kClean},
      {"no deps", 200, manifestJson(kApp, ""), kHead, {fieldNotFound("deps")}, kClean},
      {"deps not an object", 200, manifestJson(kApp, R"("deps":["x"])"), kHead, {fieldNotFound("deps")}, kClean},
      {"entry size with a fraction only warns", 200,
       manifestJson(kApp, depsJson(R"({"uri":"u","hash":"h","path":"p","size":1024.0})")),
       concat({kHead, {"OTA deps.hash = DEPSHASH"}, entryLines(1, "u", "h", "p", "0")}), {fieldNotFound("size")},
       kClean},
      {"entry without size", 200, manifestJson(kApp, depsJson(R"({"uri":"u","hash":"h","path":"p"})")),
       concat({kHead, {"OTA deps.hash = DEPSHASH"}, entryLines(1, "u", "h", "p", "0")}), {fieldNotFound("size")},
       kClean},
      {"values are not judged", 200,
       R"({"code":"","tag":"","cdn":"","app":{"uri":"","hash":"","size":-5},"extra":null})",
       {"OTA code = ", "OTA tag = ", "OTA cdn = ", "OTA app.uri = ", "OTA app.hash = ", "OTA app.size = -5"},
       {fieldNotFound("deps")}, kClean},
      {"text after the object is ignored", 200, manifestJson(kApp, depsJson("")) + " trailing words",
       concat({kHead, {"OTA deps.hash = DEPSHASH"}}), {}, kClean},
      // A value's control bytes cannot end its line and forge the next ones; the entry
      // holding them is the last one read, since the run fails at it anyway.
      {"control bytes in values are escaped", 200,
       R"({"code":"C\n1","tag":"v\t2\u007f","cdn":"https://cdn.localhost/x\r","app":{"uri":"a\u0000b","hash":"H\\x0a",)"
       R"("size":1},"deps":{"hash":"D\nOTA entry_9.path = forged","entries":[{"uri":"u","hash":"h",)"
       R"("path":"evil\nOTA entry_1.path = ok","size":1},{"uri":"u2","hash":"h2","path":"p2"}]}})",
       concat({{"OTA code = C\\x0a1", "OTA tag = v\\x092\\x7f", "OTA cdn = https://cdn.localhost/x\\x0d",
                "OTA app.uri = a\\x00b", "OTA app.hash = H\\x0a", "OTA app.size = 1",
                "OTA deps.hash = D\\x0aOTA entry_9.path = forged"},
               entryLines(1, "u", "h", "evil\\x0aOTA entry_1.path = ok", "1")}),
       {}, kClean},
  };
  for (ReplyCase const& c : cases) {
    OTA::Manifest manifest;
    check(c, manifest);
  }
}

TEST_F(VerifyReply, FailedTransfersAndStatusesWriteTheBodyUpTo4KiB) {
  std::string const head = "<html>" + std::string(4000, 'e');
  std::string const page = head + "\nsecond line</html>";
  std::string const shown = head + "\\x0asecond line</html>";  // its line feed escaped
  std::string const fullPage = page + std::string(4096 - page.size(), 'f');
  std::string const longPage = fullPage + "g";
  std::string const shownPage = shown + std::string(4096 - page.size(), 'f');
  std::string const hugeBody(16 << 20, 'h');
  ReplyCase const cases[] = {
      {"no response", 0, "", {}, {"POST failed: status=0 body="}, kError},
      {"partial body", 0, "{\"co", {}, {"POST failed: status=0 body={\"co"}, kError},
      // Up to 4 KiB, on one line whatever it holds; beyond, cut with a marker.
      {"server error", 500, page, {}, {"POST failed: status=500 body=" + shown}, kError},
      {"server error of 4 KiB", 500, fullPage, {}, {"POST failed: status=500 body=" + shownPage}, kError},
      {"server error past 4 KiB", 500, longPage, {},
       {"POST failed: status=500 body=" + shownPage + "[... 1 bytes left out]"}, kError},
      {"body cut at the reply bound", 0, hugeBody, {},
       {"POST failed: status=0 body=" + hugeBody.substr(0, 4096) + "[... 16773120 bytes left out]"}, kError},
      {"valid manifest but 300", 300, manifestJson(kApp, ""), {},
       {"POST failed: status=300 body=" + manifestJson(kApp, "")}, kError},
      {"199", 199, "x", {}, {"POST failed: status=199 body=x"}, kError},
      {"404", 404, "not here", {}, {"POST failed: status=404 body=not here"}, kError},
  };
  for (ReplyCase const& c : cases) {
    OTA::Manifest manifest;
    check(c, manifest);
    EXPECT_EQ(manifest.code, "") << c.name;
    EXPECT_EQ(manifest.cdn, "") << c.name;
  }
}

TEST_F(VerifyReply, BodiesThatAreNoObject) {
  for (std::string body : {"[1,2]", "null", "\"text\"", "42", "{not json", "", "\xEF\xBB\xBF{}"}) {
    std::string const error = JSON::parseObject(bytes(body)).error;
    ASSERT_FALSE(error.empty()) << body;
    OTA::Manifest manifest;
    check({"no object", 200, body, {}, {"Invalid JSON response: " + error}, kError}, manifest);
  }
  OTA::Manifest manifest;
  check({"array root", 200, "[1,2]", {}, {"Invalid JSON response: JSON root is not an object"}, kError}, manifest);
  // The parser quotes the rest of the line it stopped at; that quote is bounded too.
  std::string const oneLongLine = "{\"a\":" + std::string(200000, '[');
  check({"depth refused on a long line", 200, oneLongLine, {},
         {"Invalid JSON response: syntax error at line 1 near: " + std::string(4096 - 29, '[') +
          "[... 195833 bytes left out]"},
         kError},
        manifest);
}

TEST_F(VerifyReply, RejectedManifests) {
  std::string const deps1 = depsJson(kEntry1);
  std::vector<std::string> const depsHead = {"OTA deps.hash = DEPSHASH"};
  ReplyCase const cases[] = {
      {"code missing", 200, R"({"tag":"v2.3","cdn":"https://cdn.localhost/x",)" + kApp + "}",
       {"OTA code = ", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x", "OTA app.uri = apps/q.exe",
        "OTA app.hash = APPHASH", "OTA app.size = 1024"},
       {fieldNotFound("code"), fieldNotFound("deps")}, kError},
      {"tag null, cdn a number", 200, R"({"code":"C1","tag":null,"cdn":7,)" + kApp + "}",
       {"OTA code = C1", "OTA tag = ", "OTA cdn = ", "OTA app.uri = apps/q.exe", "OTA app.hash = APPHASH",
        "OTA app.size = 1024"},
       {fieldNotFound("tag"), fieldNotFound("cdn"), fieldNotFound("deps")}, kError},
      {"app missing", 200, R"({"code":"C1","tag":"v2.3","cdn":"https://cdn.localhost/x",)" + deps1 + "}",
       concat({{"OTA code = C1", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x", "OTA app.uri = ",
                "OTA app.hash = ", "OTA app.size = 0"},
               depsHead, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10")}),
       {fieldNotFound("app"), fieldNotFound("uri"), fieldNotFound("hash"), fieldNotFound("size")}, kError},
      {"app size with a fraction", 200, manifestJson(R"("app":{"uri":"apps/q.exe","hash":"APPHASH","size":1024.0})", deps1),
       concat({{"OTA code = C1", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x", "OTA app.uri = apps/q.exe",
                "OTA app.hash = APPHASH", "OTA app.size = 0"},
               depsHead, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10")}),
       {fieldNotFound("size")}, kError},
      {"app size as text", 200, manifestJson(R"("app":{"uri":"apps/q.exe","hash":"APPHASH","size":"1024"})", ""),
       {"OTA code = C1", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x", "OTA app.uri = apps/q.exe",
        "OTA app.hash = APPHASH", "OTA app.size = 0"},
       {fieldNotFound("size"), fieldNotFound("deps")}, kError},
      {"deps hash missing", 200, manifestJson(kApp, R"("deps":{"entries":[]})"), concat({kHead, {"OTA deps.hash = "}}),
       {fieldNotFound("hash")}, kError},
      {"entries missing", 200, manifestJson(kApp, R"("deps":{"hash":"DEPSHASH"})"), concat({kHead, depsHead}),
       {fieldNotFound("entries")}, kError},
      {"entries not an array", 200, manifestJson(kApp, R"("deps":{"hash":"DEPSHASH","entries":{}})"),
       concat({kHead, depsHead}), {fieldNotFound("entries")}, kError},
      {"second entry a string", 200, manifestJson(kApp, depsJson(kEntry1 + R"(,"x",)" + kEntry2)),
       concat({kHead, depsHead, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10")}), {}, kError},
      // The first unusable entry ends the reading, after its own lines.
      {"entry without path", 200, manifestJson(kApp, depsJson(R"({"uri":"u","hash":"h"},)" + kEntry2)),
       concat({kHead, depsHead, entryLines(1, "u", "h", "", "0")}), {fieldNotFound("path"), fieldNotFound("size")},
       kError},
      {"second entry without hash", 200,
       manifestJson(kApp, depsJson(kEntry1 + R"(,{"uri":"u","path":"p","size":1},{},{})")),
       concat({kHead, depsHead, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10"),
               entryLines(2, "u", "", "p", "1")}),
       {fieldNotFound("hash")}, kError},
      {"key case matters", 200, R"({"Code":"C1","tag":"v2.3","cdn":"https://cdn.localhost/x",)" + kApp + "}",
       {"OTA code = ", "OTA tag = v2.3", "OTA cdn = https://cdn.localhost/x", "OTA app.uri = apps/q.exe",
        "OTA app.hash = APPHASH", "OTA app.size = 1024"},
       {fieldNotFound("code"), fieldNotFound("deps")}, kError},
  };
  for (ReplyCase const& c : cases) {
    OTA::Manifest manifest;
    check(c, manifest);
  }
}

TEST_F(VerifyReply, StopsAtTheFirstEntryThatIsNoObject) {
  OTA::Manifest manifest;
  check({"third entry a number", 200, manifestJson(kApp, depsJson(kEntry1 + "," + kEntry2 + ",3," + kEntry1)),
         concat({kHead, {"OTA deps.hash = DEPSHASH"}, entryLines(1, "deps/a.dll", "HA", "bin/a.dll", "10"),
                 entryLines(2, "deps/b.dat", "HB", "data/b.dat", "20")}),
         {}, kError},
        manifest);
  ASSERT_EQ(manifest.deps.entries.size(), 2u);
  EXPECT_EQ(manifest.deps.entries[1].uri, "deps/b.dat");
}

}  // namespace
