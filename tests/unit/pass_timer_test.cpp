// The loop's pause: which way of waiting is taken for which answers of the system, that
// what was taken is given back, and the wait to the deadline in whole milliseconds, with
// a stand-in for the system and its clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/pass_timer.h"

namespace {

using PassTimer::Mechanism;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct Answers {
  bool timer = false;      // a high-resolution timer can be made
  bool resolution = false; // the timer resolution can be raised
  std::vector<microseconds> waitLengths;  // how long each wait really takes, in turn
};

// Records every call in one log that outlives the timer, so the calls made by the
// timer's destructor can be read too.
class FakeSystem final : public PassTimer::System {
 public:
  FakeSystem(Answers answers, std::vector<std::string>& log) : answers_(std::move(answers)), log_(log) {}

  bool openHighResolutionTimer() override { return record("open timer", answers_.timer); }
  void closeHighResolutionTimer() override { log_.push_back("close timer"); }
  bool raiseResolution() override { return record("raise resolution", answers_.resolution); }
  void restoreResolution() override { log_.push_back("restore resolution"); }
  void wait(Mechanism mechanism, uint32_t ms) override {
    log_.push_back("wait " + std::to_string(ms) + " with " + std::to_string(static_cast<uint32_t>(mechanism)));
    size_t const turn = waits_++;
    clock_ += turn < answers_.waitLengths.size() ? answers_.waitLengths[turn] : milliseconds(ms);
  }
  Clock::time_point now() override { return Clock::time_point(clock_); }

  microseconds clock_{250};  // mid-millisecond, as a real pass starts

 private:
  bool record(char const* call, bool answer) {
    log_.push_back(std::string(call) + (answer ? "" : " (refused)"));
    return answer;
  }
  Answers answers_;
  std::vector<std::string>& log_;
  size_t waits_ = 0;
};

TEST(PassTimer, TakesTheMostPreciseWayTheSystemOffersAndGivesItBackAtTheEnd) {
  struct Case {
    char const* what;
    Answers answers;
    Mechanism expected;
    std::vector<std::string> calls;  // over the timer's whole life, one 5 ms sleep included
  } const cases[] = {
      {"Windows 10 1803 and later", {true, true, {}}, Mechanism::HighResolutionTimer,
       {"open timer", "wait 5 with 0", "close timer"}},
      {"older Windows: no such timer", {false, true, {}}, Mechanism::RaisedResolution,
       {"open timer (refused)", "raise resolution", "wait 5 with 1", "restore resolution"}},
      {"neither", {false, false, {}}, Mechanism::PlainSleep,
       {"open timer (refused)", "raise resolution (refused)", "wait 5 with 2"}},
  };
  for (Case const& c : cases) {
    std::vector<std::string> log;
    {
      PassTimer::Timer timer(std::make_unique<FakeSystem>(c.answers, log));
      EXPECT_EQ(timer.mechanism(), c.expected) << c.what;
      timer.sleepFor(milliseconds(5));
    }
    EXPECT_EQ(log, c.calls) << c.what;
  }
}

TEST(PassTimer, WaitsInWholeMillisecondsUntilTheDeadlineIsReached) {
  struct Case {
    char const* what;
    std::vector<microseconds> waitLengths;
    std::vector<std::string> waits;
  } const cases[] = {
      {"a wait as long as asked", {milliseconds(5)}, {"wait 5 with 0"}},
      // 0.6 ms short: the 0.6 ms left are rounded up to a whole millisecond.
      {"woken early", {microseconds(4400), milliseconds(1)}, {"wait 5 with 0", "wait 1 with 0"}},
      {"woken early twice", {microseconds(4999), microseconds(0), microseconds(1)},
       {"wait 5 with 0", "wait 1 with 0", "wait 1 with 0"}},
      // A coarse timer's 15.6 ms: the deadline has passed, nothing is added.
      {"woken late", {microseconds(15600)}, {"wait 5 with 0"}},
  };
  for (Case const& c : cases) {
    std::vector<std::string> log;
    auto system = std::make_unique<FakeSystem>(Answers{true, false, c.waitLengths}, log);
    FakeSystem* const fake = system.get();
    PassTimer::Timer timer(std::move(system));
    microseconds const start = fake->clock_;
    timer.sleepFor(milliseconds(5));
    EXPECT_GE(fake->clock_ - start, milliseconds(5)) << c.what;
    log.erase(log.begin());  // "open timer"
    EXPECT_EQ(log, c.waits) << c.what;
  }
}

}  // namespace
