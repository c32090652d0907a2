// The HTTP engine's rules that need no server: header lines, body growth, request fields,
// the engine's life cycle and callbacks. Transfers against a real server are checked by
// tests/e2e/test_http_engine.py through the http_probe tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "http/http.h"
#include "http/http_lines.h"
#include "http/stall_watch.h"

namespace {

// Nothing listens on port 1 of the loopback address: connections are refused at once.
constexpr char kRefusedUrl[] = "https://127.0.0.1:1/";

constexpr uint64_t kLimit = HTTP::defaultMaxBodyBytes;

// Pumps until done() holds or 30 seconds pass; true when done() held.
template <typename Done>
bool pumpUntil(Done done) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    HTTP::pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

HTTP::Request getRequest(std::string url) {
  HTTP::Request request;
  request.url = std::move(url);
  return request;
}

TEST(HttpReply, SuccessIsExactlyTheTwoHundreds) {
  struct Case {
    int32_t status;
    bool success;
  };
  for (Case c : {Case{0, false}, Case{-200, false}, Case{100, false}, Case{199, false}, Case{200, true},
                 Case{201, true}, Case{204, true}, Case{299, true}, Case{300, false}, Case{304, false},
                 Case{404, false}, Case{500, false}}) {
    HTTP::Reply reply;
    reply.status = c.status;
    EXPECT_EQ(reply.isSuccess(), c.success) << "status " << c.status;
  }
}

TEST(HttpRequest, SetHeaderLowersTheNameOnlyAndReplaces) {
  HTTP::Request request;
  request.setHeader("Content-TYPE", "Application/JSON");
  request.setHeader("X-\xC3\x89t\xC3\xA9", "v");  // bytes above 127 stay as they are
  request.setHeader("content-type", "text/plain");
  request.setHeader("ACCEPT", " keep blanks ");
  EXPECT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers.at("content-type"), "text/plain");
  EXPECT_EQ(request.headers.at("accept"), " keep blanks ");
  EXPECT_EQ(request.headers.count("x-\xC3\x89t\xC3\xA9"), 1u);
}

TEST(HttpHeaderLines, EachLineKind) {
  struct Case {
    char const* line;
    char const* name;  // nullptr: the line adds nothing
    char const* value;
  };
  Case const cases[] = {
      {"Content-Type: text/html\r\n", "content-type", "text/html"},
      {"X-Mixed-CASE:   padded value \t \r\n", "x-mixed-case", "padded value"},
      {"X-Tabs:\t\tv\t\r\n", "x-tabs", "v"},
      {"X-Empty:\r\n", "x-empty", ""},
      {"X-Colons: a:b: c\r\n", "x-colons", "a:b: c"},
      {"X-Inner-Blanks: a  b\r\n", "x-inner-blanks", "a  b"},
      {"X-Bare-LF: v\n", "x-bare-lf", "v"},
      {"X-No-End: v", "x-no-end", "v"},
      {"X-Many-Ends: v\r\n\r\n", "x-many-ends", "v"},
      {"Name With Blank : v\r\n", "name with blank ", "v"},  // the name is not trimmed
      {" folded continuation\r\n", nullptr, nullptr},
      {"no colon here\r\n", nullptr, nullptr},
      {"\r\n", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (Case const& c : cases) {
    HTTP::Reply reply;
    HTTP::applyHeaderLine(reply, c.line, kLimit);
    if (!c.name) {
      EXPECT_TRUE(reply.headers.empty()) << c.line;
      continue;
    }
    ASSERT_EQ(reply.headers.size(), 1u) << c.line;
    EXPECT_EQ(reply.headers.begin()->first, c.name) << c.line;
    EXPECT_EQ(reply.headers.begin()->second, c.value) << c.line;
  }
}

TEST(HttpHeaderLines, StatusLineStartsAFreshResponse) {
  HTTP::Reply reply;
  for (char const* line : {"HTTP/1.1 301 Moved\r\n", "Location: /next\r\n", "X-Hop: 1\r\n", "\r\n",
                           "HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/2 200\r\n", "X-Final: yes\r\n",
                           "x-final: again\r\n", "\r\n"})
    HTTP::applyHeaderLine(reply, line, kLimit);
  ASSERT_EQ(reply.headers.size(), 1u);
  EXPECT_EQ(reply.headers.at("x-final"), "again");

  // Too short to be a status line, and no colon: it adds nothing and clears nothing.
  HTTP::applyHeaderLine(reply, "HTTP", kLimit);
  EXPECT_EQ(reply.headers.size(), 1u);
  // A status line need not carry a version text after the slash.
  HTTP::applyHeaderLine(reply, "HTTP/", kLimit);
  EXPECT_TRUE(reply.headers.empty());
}

TEST(HttpBody, AnnouncedLengthReservesCapacityWithinTheBound) {
  {
    HTTP::Reply reply;
    HTTP::applyHeaderLine(reply, "Content-Length: 70000\r\n", kLimit);
    EXPECT_GE(reply.body.capacity(), 70000u);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_EQ(reply.headers.at("content-length"), "70000");
  }
  // Nothing a server announces may throw or reserve more than the bound: a length past
  // it reserves nothing at all, since libcurl refuses the body before it arrives.
  for (char const* value : {"", "abc", "-5", "12x", "+12", "0x10", "1 2", "99999999999999999999999",
                            "18446744073709551615", "1099511627776", "16777217"}) {
    HTTP::Reply reply;
    EXPECT_NO_THROW(HTTP::reserveBody(reply, value, kLimit)) << value;
    EXPECT_EQ(reply.body.capacity(), 0u) << value;
  }
  HTTP::Reply exact;
  HTTP::reserveBody(exact, "16777216", kLimit);
  EXPECT_EQ(exact.body.capacity(), kLimit);

  // A redirect's announced length is not kept for the response that follows it.
  HTTP::Reply redirected;
  for (char const* line : {"HTTP/1.1 301 Moved\r\n", "Content-Length: 9000000\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
                           "Transfer-Encoding: chunked\r\n"})
    HTTP::applyHeaderLine(redirected, line, kLimit);
  EXPECT_EQ(redirected.body.capacity(), 0u);
}

// Feeds the watch as libcurl's progress calls would: every 100 ms for the given time,
// with bytes arriving as `arrivals` says (second -> bytes). Returns the second at which
// the watch gave up, or -1 when it never did.
double secondsUntilStalled(std::vector<std::pair<int, uint64_t>> const& arrivals, int seconds) {
  HTTP::StallWatch watch;
  auto const start = HTTP::StallWatch::Clock::time_point{} + std::chrono::hours(1);
  uint64_t total = 0;
  size_t next = 0;
  for (int tenth = 0; tenth <= seconds * 10; ++tenth) {
    while (next < arrivals.size() && arrivals[next].first * 10 <= tenth) total += arrivals[next++].second;
    if (!watch.progress(start + std::chrono::milliseconds(100 * tenth), total)) return tenth / 10.0;
  }
  return -1;
}

TEST(HttpStallWatch, LessThanAKibibyteInTheLastMinuteEndsATransferWhateverCameBefore) {
  // Nothing at all: given up once a whole minute has passed, not before.
  EXPECT_NEAR(secondsUntilStalled({}, 120), 60, 0.11);
  // A fast start, then silence: a minute after the last byte.
  EXPECT_NEAR(secondsUntilStalled({{0, 50u << 20}, {30, 4096}}, 300), 90, 1.1);
  // 500 bytes every 50 s keeps a connection open with 600 bytes a minute: a speed test
  // averaged over a few seconds would see a burst each time and never give up.
  std::vector<std::pair<int, uint64_t>> trickle;
  for (int s = 0; s <= 600; s += 50) trickle.push_back({s, 500});
  EXPECT_GT(secondsUntilStalled(trickle, 600), 0);
  // Slow but progressing lines are never cut: 1100 bytes at once every 59 s, and 20 bytes
  // a second, for ten minutes each.
  std::vector<std::pair<int, uint64_t>> bursts, steady;
  for (int s = 0; s <= 600; s += 59) bursts.push_back({s, 1100});
  for (int s = 0; s <= 600; ++s) steady.push_back({s, 20});
  EXPECT_EQ(secondsUntilStalled(bursts, 600), -1);
  EXPECT_EQ(secondsUntilStalled(steady, 600), -1);
  // The bound itself: exactly 1,024 bytes in every minute keep a transfer alive, 1,023 end
  // it as soon as a minute has passed.
  for (uint64_t const burst : {1024u, 1023u}) {
    std::vector<std::pair<int, uint64_t>> edge;
    for (int s = 0; s <= 600; s += 59) edge.push_back({s, burst});
    EXPECT_EQ(secondsUntilStalled(edge, 600), burst == 1024 ? -1 : 60) << burst;
  }
}

TEST(HttpBody, AppendKeepsEveryByteInOrder) {
  HTTP::Reply reply;
  HTTP::reserveBody(reply, "2", kLimit);  // a length that understates the body only reserves less
  std::string const first("ab\0c", 4);
  std::string const second(100000, 'x');
  EXPECT_TRUE(HTTP::appendBody(reply, first.data(), first.size(), kLimit));
  EXPECT_TRUE(HTTP::appendBody(reply, second.data(), second.size(), kLimit));
  EXPECT_TRUE(HTTP::appendBody(reply, second.data(), 0, kLimit));
  ASSERT_EQ(reply.body.size(), first.size() + second.size());
  EXPECT_EQ(std::string(reply.body.begin(), reply.body.begin() + 4), first);
  EXPECT_EQ(reply.body.back(), 'x');
}

// A body without an announced length, fed in libcurl's pieces up to the bound and past
// it. The bound is no power of two, so plain doubling would overshoot it, and would
// copy more than half of it in one reallocation (the copy holds old and new block at
// once). Neither may happen, and the bound itself is reached exactly.
TEST(HttpBody, GrowthStaysWithinTheBound) {
  for (uint64_t const limit : {uint64_t{3000000}, uint64_t{100663296} / 32, uint64_t{16384}, uint64_t{1}}) {
    SCOPED_TRACE(limit);
    HTTP::Reply reply;
    std::string const piece(16384, 'p');
    size_t largestCopy = 0;
    for (;;) {
      size_t const size = reply.body.size();
      size_t const capacity = reply.body.capacity();
      size_t const count = static_cast<size_t>(std::min<uint64_t>(piece.size(), limit - size));
      if (count == 0) break;
      ASSERT_TRUE(HTTP::appendBody(reply, piece.data(), count, limit));
      if (reply.body.capacity() != capacity) largestCopy = std::max(largestCopy, size);
      ASSERT_LE(reply.body.capacity(), limit);
    }
    EXPECT_EQ(reply.body.size(), limit);
    EXPECT_LE(largestCopy, limit / 2);
    // One byte more is refused, and the body stays as it was.
    EXPECT_FALSE(HTTP::appendBody(reply, piece.data(), 1, limit));
    EXPECT_EQ(reply.body.size(), limit);
  }
  // A piece larger than the whole bound is refused without touching the body.
  HTTP::Reply reply;
  std::string const big(100, 'b');
  EXPECT_FALSE(HTTP::appendBody(reply, big.data(), big.size(), 99));
  EXPECT_EQ(reply.body.capacity(), 0u);
}

class HttpEngine : public ::testing::Test {
 protected:
  void TearDown() override { HTTP::shutdown(); }
  std::string out_;
  std::string err_;
  Log::Capture capture_{out_, err_};
};

TEST_F(HttpEngine, SendWhileStoppedAnswersBeforeReturning) {
  int calls = 0;
  HTTP::Reply seen;
  seen.status = -1;
  auto callback = [&](HTTP::Reply const& reply) {
    ++calls;
    seen = reply;
  };
  HTTP::send(getRequest(kRefusedUrl), callback);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen.status, 0);
  EXPECT_TRUE(seen.body.empty());
  EXPECT_TRUE(seen.headers.empty());

  // The same after a shutdown; an empty callback is simply dropped.
  ASSERT_TRUE(HTTP::startup());
  HTTP::shutdown();
  HTTP::send(getRequest(kRefusedUrl), callback);
  EXPECT_EQ(calls, 2);
  HTTP::send(getRequest(kRefusedUrl), nullptr);
  HTTP::pump();
  EXPECT_EQ(out_ + err_, "");
}

TEST_F(HttpEngine, RefusedConnectionCompletesInThePumpWithStatusZero) {
  ASSERT_TRUE(HTTP::startup());
  int calls = 0;
  int32_t status = -1;
  HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const& reply) {
    ++calls;
    status = reply.status;
  });
  EXPECT_EQ(calls, 0) << "a started transfer completes only from the pump";
  ASSERT_TRUE(pumpUntil([&] { return calls > 0; }));
  for (int i = 0; i < 20; ++i) HTTP::pump();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(err_, "");
}

TEST_F(HttpEngine, RefusedUrlIsLoggedWithItsStepAndAnsweredAtOnce) {
  ASSERT_TRUE(HTTP::startup());
  int calls = 0;
  // libcurl refuses URLs longer than its input limit when the option is set.
  HTTP::send(getRequest("https://example.localhost/" + std::string(9 * 1024 * 1024, 'a')),
             [&](HTTP::Reply const& reply) {
               ++calls;
               EXPECT_EQ(reply.status, 0);
             });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(err_, "HTTP: error while 'Setting URL': Error\n");
}

TEST_F(HttpEngine, CallbackMaySendTheNextRequest) {
  ASSERT_TRUE(HTTP::startup());
  std::vector<std::string> order;
  HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const&) {
    order.push_back("first");
    HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const&) { order.push_back("second"); });
  });
  ASSERT_TRUE(pumpUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
}

TEST_F(HttpEngine, ShutdownDropsTransfersWithoutCallingThem) {
  ASSERT_TRUE(HTTP::startup());
  int calls = 0;
  for (int i = 0; i < 3; ++i) HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const&) { ++calls; });
  HTTP::shutdown();
  HTTP::pump();
  EXPECT_EQ(calls, 0);
  // Stopped again: a new request is answered inside send.
  HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const&) { ++calls; });
  EXPECT_EQ(calls, 1);
}

TEST_F(HttpEngine, SecondStartupKeepsTheRunningEngine) {
  ASSERT_TRUE(HTTP::startup());
  int calls = 0;
  HTTP::send(getRequest(kRefusedUrl), [&](HTTP::Reply const&) { ++calls; });
  ASSERT_TRUE(HTTP::startup());
  // A second start-up that replaced the engine would orphan the transfer sent before it.
  ASSERT_TRUE(pumpUntil([&] { return calls > 0; }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
