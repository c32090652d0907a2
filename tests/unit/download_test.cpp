#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/heartbeat.h"
#include "base/log.h"
#include "child_tools.h"
#include "env/environment.h"
#include "fs/path.h"
#include "fs_fixture.h"
#include "install/digest.h"
#include "install/download.h"
#include "support/lines.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytesOf(std::string const& s) { return {s.begin(), s.end()}; }

TEST(DigestText, KnownVectorsInUrlSafeFormWithoutPadding) {
  std::vector<uint8_t> pattern(1 << 20);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  struct Case {
    std::vector<uint8_t> input;
    char const* urlSafe;
    char const* standard;
  } const cases[] = {
      {{}, "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU", "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="},
      {bytesOf("abc"), "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="},
      {pattern, "FywV3C4StQ5SPY5lfL5_uxHBBTJSu_HhQxB31X2BKP0", "FywV3C4StQ5SPY5lfL5/uxHBBTJSu/HhQxB31X2BKP0="},
  };
  for (auto const& c : cases) {
    std::string const text = Digest::text(c.input);
    EXPECT_EQ(text, c.urlSafe);
    EXPECT_EQ(text.size(), 43u);
    EXPECT_NE(text, c.standard);
  }
}

std::string hex(std::vector<uint8_t> const& bytes) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Lengths around the 64-byte block and its padding limit (55/56), several blocks and a
// partial tail, each from an aligned and from an odd start address: the bulk of a
// payload may go through processor instructions and the tail through portable code.
TEST(DigestSha256, MatchesReferenceAcrossBlockBoundariesAndAlignments) {
  std::vector<uint8_t> pattern(70000);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  struct Case {
    size_t size;
    char const* fromStart;
    char const* fromOffsetOne;
  } const cases[] = {
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b",
       "844189e699b4f60cd4d652f578bd5eedc83bdfa2902868c7b42306d91a61a946"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27",
       "68cc8e302169d90f92b5c912113122119a3b3f5591c7c7775129993f16260180"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055",
       "e2c2a25e467b928c178d89ea142d5ac32e1d313cdba75e34b5d3dac4145b9ae8"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241",
       "87736206351bcb80a8f83f05e641e670d5218257ef80ae1233da5e6d503da4d2"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e",
       "acc73b2526f5728c634dec87f46c2ca09a75b37c8037ad575603fd01770ff804"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e",
       "4a2fdff59ecd5cf23bd4972235338940adbd5793fe2d2c73e95ea3f6e57a06d5"},
      {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5",
       "1945cc0670238132c0c0aa696be28fbc437583b63333fb4accf8e10018f3580c"},
      {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07",
       "23140a164a32ffdfd04e69dc62199ca37f9a96069ddac19effa320514e44f0e8"},
      {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6",
       "d35b5f03b2f5c129ac6389e66312e4fbe32a3560f74205eabd144f2ecef0cedc"},
      {129, "307f8fc2c1622b92762e818d39a185d4d667ad49a4b07ceae1f4afa008a93ec4",
       "82f3f270bf9a7cc8c2ca2b04196e12fafd81f6a4f13b957ac97d5de8407552dd"},
      {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371",
       "b60e95dade65cc07dfc621f2695a309ad1becfca82d87196c52a2fecce539d37"},
      {4109, "47c484cb8960efb9888d2880ef17207cc14837b5237d8fe1649184e0b3eca2ac",
       "2b98810c9649734b41c901dddcc54fc6345501acb08c051d9eae1a36a97705d7"},
      {65537, "ad8b370d36508e55e3c9cd44667a6e36e35955d0ff9f8fe59805bb18c2db5dd8",
       "532291946ae8d8de1cd178683701ab890b2b5e11c65e7d22d5adc991ff7d9244"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(hex(Digest::sha256(pattern.data(), c.size)), c.fromStart);
    EXPECT_EQ(hex(Digest::sha256(pattern.data() + 1, c.size)), c.fromOffsetOne);
  }
}

// A payload is hashed in pieces with the window served between them: the digest is the
// same across the piece boundaries, and there is at least one beat for every 2 MiB.
TEST(DigestSha256, LargePayloadsKeepTheirDigestAndLetTheWindowBeat) {
  constexpr size_t MiB = 1024 * 1024;
  std::vector<uint8_t> pattern(9 * MiB + 77);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  struct Case {
    size_t size;
    char const* digest;
  } const cases[] = {
      {MiB - 1, "9487450cca5e9cca35dbef99a45b4c727652508e60210c77c3f41a527328e02a"},
      {MiB + 1, "75059752ce0b546127d584a3992627babb59950933c6d82d10ad46fec48e7c96"},
      {2 * MiB, "c1b153e61d7d7835c625cc3077b85c18808a8c0f6e6b157b9bfc4546b5a34abb"},
      {3 * MiB + 5, "8e412f5c2133ab91c007c92ac99185bd7aeb01a1b4fc67f38cb9d9052f614a3f"},
      {9 * MiB + 77, "0902ac15d7fc067b7f77728631ba6f945c4640a073e1d9f31bfcdca2a9320c74"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.size);
    size_t beats = 0;
    Heartbeat::Scope counting([&] { ++beats; }, std::chrono::seconds(0));
    EXPECT_EQ(hex(Digest::sha256(pattern.data(), c.size)), c.digest);
    EXPECT_GE(beats, c.size / (2 * MiB));
  }
}

TEST(DigestText, Base64TailGroupsAreNeverPadded) {
  EXPECT_EQ(Digest::base64Url({}), "");
  EXPECT_EQ(Digest::base64Url({0xFB}), "-w");
  EXPECT_EQ(Digest::base64Url({0xFB, 0xFF}), "-_8");
  EXPECT_EQ(Digest::base64Url({0xFB, 0xFF, 0xBF}), "-_-_");
  EXPECT_EQ(Digest::base64Url(bytesOf("Man")), "TWFu");
}

// Downloads into a fresh temporary staging directory, with the log captured.
class DownloadTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "new");
    env_.platform = currentOsType();
    env_.appFilename = std::string(appFilename(currentOsType(), QUENZA_BO));
    manifest_.cdn = "https://cdn.localhost/r1";
    manifest_.app = {"bin/app", Digest::text(bytesOf("APP")), 3};
    manifest_.deps.hash = "deps-digest";
  }

  void addEntry(std::string const& path, std::string const& content) {
    OTA::ManifestEntry entry;
    entry.index = manifest_.deps.entries.size() + 1;
    entry.uri = "files/" + path;
    entry.hash = Digest::text(bytesOf(content));
    entry.path = path;
    manifest_.deps.entries.push_back(entry);
  }

  static HTTP::Reply reply(int status, std::string const& body) {
    HTTP::Reply r;
    r.status = status;
    r.body = bytesOf(body);
    return r;
  }


  Step buildQueue() { return Download::buildQueue(downloads_, manifest_, env_, dirNew_); }
  Step finish() { return Download::finish(downloads_, manifest_, env_, dirNew_); }

  TestFs::TempDir tmp_;
  fs::path const root_ = tmp_.fsPath();
  std::string const dirNew_ = tmp_ / "new";
  EnvironmentValues env_;
  OTA::Manifest manifest_;
  DownloadState downloads_;
  std::string out_, err_;
  Log::Capture capture_{out_, err_};
};

TEST_F(DownloadTest, QueueHoldsApplicationFirstThenEntriesInManifestOrder) {
  addEntry("lib/a.dll", "A");
  addEntry("deep/er/b.dat", "B");
  addEntry("share\\fr\\q.qm", "C");  // written on Windows: a separator on every build
  ASSERT_EQ(buildQueue(), Step::Done);
  auto const& q = downloads_.queue;
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[0].remoteUrl, "https://cdn.localhost/r1/bin/app");
  EXPECT_EQ(q[0].localPath, FS::join(dirNew_, env_.appFilename));
  EXPECT_EQ(q[0].expectedHash, manifest_.app.hash);
  EXPECT_EQ(q[1].remoteUrl, "https://cdn.localhost/r1/files/lib/a.dll");
  EXPECT_EQ(q[1].localPath, FS::join(dirNew_, "lib/a.dll"));
  EXPECT_EQ(q[2].localPath, FS::join(dirNew_, "deep/er/b.dat"));
  EXPECT_EQ(q[3].localPath, FS::join(dirNew_, "share/fr/q.qm"));
  EXPECT_EQ(err_, "");
}

TEST_F(DownloadTest, QueueWithoutEntriesHoldsOnlyTheApplication) {
  EXPECT_EQ(buildQueue(), Step::Done);
  EXPECT_EQ(downloads_.queue.size(), 1u);
}

TEST_F(DownloadTest, CdnEndingInSlashIsConcatenatedAsItIs) {
  manifest_.cdn = "https://cdn.localhost/";
  ASSERT_EQ(buildQueue(), Step::Done);
  EXPECT_EQ(downloads_.queue.front().remoteUrl, "https://cdn.localhost//bin/app");
}

TEST_F(DownloadTest, BundlePlatformStoresTheApplicationAsZip) {
  env_.platform = APPLE_OSX;
  ASSERT_EQ(buildQueue(), Step::Done);
  EXPECT_EQ(downloads_.queue.front().localPath, FS::join(dirNew_, "quenza-launcher.zip"));
}

// Names Windows would not keep as written are refused by the Windows build only; their
// look-alikes pass everywhere.
TEST_F(DownloadTest, DoubleDotControlByteOrUnkeptNameInAPathRejectsTheManifest) {
  bool const windows = FS::nativePathStyle() == FS::PathStyle::Windows;
  struct Case {
    std::string path;
    std::string logged;  // the refusal stays one line
    bool refused = true;
  } const cases[] = {
      {"data/name.", "data/name.", windows},
      {"dir /x.txt", "dir /x.txt", windows},
      {"lib\\CON", "lib\\CON", windows},
      {"nul.txt", "nul.txt", windows},
      {"a/Com1.tar.gz", "a/Com1.tar.gz", windows},
      {"lpT\xC2\xB9/x", "lpT\xC2\xB9/x", windows},
      {"conout$", "conout$", windows},
      {"aux .log", "aux .log", windows},
      {"data/file.txt:stream", "data/file.txt:stream", windows},
      {"C:/x", "C:/x", windows},
      {"CONSOLE/com10.txt", "", false},
      {"nul_x/.lpt1", "", false},
      {"../x", "../x"},
      {"a/../b", "a/../b"},
      {"name..txt", "name..txt"},
      {"x/..", "x/.."},
      {"data/evil\nOTA entry_9.path = forged", "data/evil\\x0aOTA entry_9.path = forged"},
      {"tab\there", "tab\\x09here"},
      {"cr\r", "cr\\x0d"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"\x1f..", "\\x1f.."},
  };
  for (Case const& c : cases) {
    downloads_ = {};
    manifest_.deps.entries.clear();
    err_.clear();
    addEntry("ok/one.txt", "1");
    addEntry(c.path, "2");
    addEntry("never.txt", "3");
    EXPECT_EQ(buildQueue(), c.refused ? Step::Failed : Step::Done) << c.path;
    EXPECT_EQ(err_, c.refused ? "Corrupted dist pack entry path: " + c.logged + "\n" : "");
    EXPECT_EQ(downloads_.queue.size(), c.refused ? 2u : 4u) << "entries after the bad one are not queued";
  }
}

TEST_F(DownloadTest, ControlByteInAUrlOrAQueueTooLargeRejectsTheManifestBeforeAnyFetch) {
  std::string const refused = "Corrupted download URL: ";
  // Four items repeat a cdn of 16 MiB: past the bound by their URLs alone.
  std::string const longCdn = "https://cdn.localhost/" + std::string((16 << 20) - 22, 'c');
  struct Case {
    std::string cdn;
    std::string appUri;
    std::string entryUri;  // of the second entry
    std::string logged;
    size_t queued;
  } const cases[] = {
      {"https://cdn.localhost/r1\n", "bin/app", "files/b", refused + "https://cdn.localhost/r1\\x0a/bin/app", 0},
      {"https://cdn.localhost/r1", "bin/app\r\nX-Forged: 1", "files/b",
       refused + "https://cdn.localhost/r1/bin/app\\x0d\\x0aX-Forged: 1", 0},
      {"https://cdn.localhost/r1", "bin/app", "files/\tb", refused + "https://cdn.localhost/r1/files/\\x09b", 2},
      {"https://cdn.localhost/r1", "bin/app", "files/b\x7f", refused + "https://cdn.localhost/r1/files/b\\x7f", 2},
      // Counted: each item's URL and local path (their separators included) and digest.
      {longCdn, "bin/app", "files/b", "DL queue too large: bytes=" +
       std::to_string(4 * (longCdn.size() + 1 + dirNew_.size() + 1 + 43) + 7 + env_.appFilename.size() +
                      (11 + 5) + (7 + 5) + (11 + 5)) +
       " limit=67108864", 0},
  };
  for (Case const& c : cases) {
    downloads_ = {};
    manifest_.deps.entries.clear();
    err_.clear();
    manifest_.cdn = c.cdn;
    manifest_.app.uri = c.appUri;
    addEntry("a.txt", "1");
    addEntry("b.txt", "2");
    manifest_.deps.entries[1].uri = c.entryUri;
    addEntry("c.txt", "3");
    EXPECT_EQ(buildQueue(), Step::Failed) << c.logged.substr(0, 80);
    EXPECT_EQ(err_, c.logged + "\n") << c.logged.substr(0, 80);
    EXPECT_EQ(downloads_.queue.size(), c.queued) << c.logged.substr(0, 80);
  }
}

TEST_F(DownloadTest, SingleDotsAreAccepted) {
  addEntry("./a.b.c", "1");
  addEntry(".hidden/.x", "2");
  EXPECT_EQ(buildQueue(), Step::Done);
}

TEST_F(DownloadTest, StatusOutside2xxFailsWithTheBodyAndListsNothing) {
  for (int status : {0, 199, 300, 304, 404, 500}) {
    err_.clear();
    downloads_.current = {"u", (root_ / "new" / "f").string(), "h"};
    EXPECT_EQ(Download::onReply(reply(status, "page"), downloads_), Step::Failed) << status;
    EXPECT_EQ(err_, "GET failed: status=" + std::to_string(status) + " body=page\n");
  }
  // A long error page is cut at 4 KiB with the count of what was left out.
  err_.clear();
  (void)Download::onReply(reply(404, std::string(4096, 'p') + "\nmore"), downloads_);
  EXPECT_EQ(err_, "GET failed: status=404 body=" + std::string(4096, 'p') + "[... 5 bytes left out]\n");
  EXPECT_TRUE(downloads_.done.empty());
  EXPECT_TRUE(downloads_.failed.empty());
  EXPECT_FALSE(fs::exists(root_ / "new" / "f"));
}

TEST_F(DownloadTest, MismatchingDigestIsNotWritten) {
  std::string const body = "payload";
  std::string const digest = Digest::text(bytesOf(body));
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (std::string const expected : {std::string("wrong"), upper, digest + "=", std::string(), std::string("a\nb")}) {
    out_.clear();
    downloads_.current = {"u", (root_ / "new" / "f.bin").string(), expected};
    EXPECT_EQ(Download::onReply(reply(200, body), downloads_), Step::Failed);
    // The expected text comes from the server; a line break in it is written escaped.
    std::string const shown = expected == "a\nb" ? "a\\x0ab" : expected;
    EXPECT_EQ(TestSupport::splitLines(out_)[1], "DL control: FAIL hash=" + digest + " | " + shown);
    EXPECT_FALSE(fs::exists(root_ / "new" / "f.bin"));
  }
  EXPECT_EQ(downloads_.failed.size(), 5u);
  EXPECT_EQ(err_, "");
}

TEST_F(DownloadTest, VerifiedPayloadIsStoredInNewSubdirectoriesReplacingOldContent) {
  fs::create_directories(root_ / "new" / "a");
  std::ofstream(root_ / "new" / "a" / "old.bin") << "previous content that is longer";
  struct Case {
    std::string relative;
    std::string body;
    int status;
  } const cases[] = {{"a/old.bin", "new", 200}, {"x/y/z/file.dat", std::string("\0\r\n\x01", 4), 299}, {"empty", "", 201}};
  for (auto const& c : cases) {
    std::string const path = FS::join(dirNew_, c.relative);
    downloads_.current = {"u", path, Digest::text(bytesOf(c.body))};
    EXPECT_EQ(Download::onReply(reply(c.status, c.body), downloads_), Step::Done) << c.relative;
    EXPECT_EQ(TestFs::readFile(path), c.body);
  }
  ASSERT_EQ(downloads_.done.size(), 3u);
  std::string const digest = Digest::text(bytesOf("new"));
  EXPECT_EQ(TestSupport::splitLines(out_)[1], "DL control: DONE hash=" + digest + " | " + digest);
  EXPECT_EQ(err_, "");
}

TEST_F(DownloadTest, UnwritableTargetsFailWithTheirLines) {
  // A regular file where a parent directory must go, and a directory where the file must go.
  std::ofstream(root_ / "new" / "blocker") << "x";
  fs::create_directories(root_ / "new" / "taken");
  std::string const underFile = FS::join(dirNew_, "blocker/f");
  std::string const onDir = FS::join(dirNew_, "taken");
  downloads_.current = {"u", underFile, Digest::text(bytesOf("b"))};
  EXPECT_EQ(Download::onReply(reply(200, "b"), downloads_), Step::Failed);
  EXPECT_EQ(err_, "FS couldn't make file parent dir: " + FS::parentPath(underFile) + "\n");
  err_.clear();
  downloads_.current = {"u", onDir, Digest::text(bytesOf("b"))};
  EXPECT_EQ(Download::onReply(reply(200, "b"), downloads_), Step::Failed);
  EXPECT_EQ(err_, "FS couldn't write local file: " + onDir + "\n");
  EXPECT_EQ(downloads_.failed.size(), 2u);
  EXPECT_TRUE(downloads_.done.empty());
}

TEST_F(DownloadTest, EmptyQueueWritesTheHashFileThenEnds) {
  downloads_.done.resize(3);
  EXPECT_EQ(finish(), Step::Done);
  EXPECT_EQ(ChildTools::readFile(root_ / "new" / "quenza_deps_dist.sha256"), "deps-digest");
  EXPECT_EQ(TestSupport::splitLines(out_).front(), "DL ended: done=3 failed=0");

  env_.platform = APPLE_OSX;
  EXPECT_EQ(finish(), Step::Done);
  EXPECT_EQ(ChildTools::readFile(root_ / "new" / "quenza-launcher.sha256"), manifest_.app.hash);
}

TEST_F(DownloadTest, UnwritableHashFileEndsInError) {
  fs::create_directories(root_ / "new" / "quenza_deps_dist.sha256");
  EXPECT_EQ(finish(), Step::Failed);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "FS couldn't write dist pack hash file: " + FS::join(dirNew_, "quenza_deps_dist.sha256") + "\n");
  env_.platform = APPLE_OSX;
  fs::create_directories(root_ / "new" / "quenza-launcher.sha256");
  err_.clear();
  EXPECT_EQ(finish(), Step::Failed);
  EXPECT_EQ(err_, "FS couldn't write bundle hash file: " + FS::join(dirNew_, "quenza-launcher.sha256") + "\n");
}

}  // namespace
