// The loop's pause with the real system calls (under Wine in CI; the choice itself is
// tested with a stand-in system in pass_timer_test.cpp).
#include <gtest/gtest.h>

#include <memory>

#include "app/pass_timer.h"

namespace {

using PassTimer::Mechanism;
using Clock = std::chrono::steady_clock;

// The real system, except that it has no high-resolution timer, as before Windows 10 1803.
class WithoutHighResolutionTimer final : public PassTimer::System {
 public:
  bool openHighResolutionTimer() override { return false; }
  void closeHighResolutionTimer() override { real_->closeHighResolutionTimer(); }
  bool raiseResolution() override { return real_->raiseResolution(); }
  void restoreResolution() override { real_->restoreResolution(); }
  void wait(Mechanism mechanism, uint32_t ms) override { real_->wait(mechanism, ms); }
  Clock::time_point now() override { return real_->now(); }

 private:
  std::unique_ptr<PassTimer::System> real_ = PassTimer::platformSystem();
};

TEST(PassTimerWindows, EachMechanismSleepsUntilTheDeadlineWithTheRealCalls) {
  {
    PassTimer::Timer timer;
    EXPECT_EQ(timer.mechanism(), Mechanism::HighResolutionTimer);
    for (int i = 0; i < 3; ++i) {
      auto const deadline = Clock::now() + std::chrono::milliseconds(5);
      timer.sleepFor(std::chrono::milliseconds(5));
      EXPECT_GE(Clock::now(), deadline);
    }
  }
  for (int round = 0; round < 2; ++round) {  // raised and given back, twice
    PassTimer::Timer timer(std::make_unique<WithoutHighResolutionTimer>());
    EXPECT_EQ(timer.mechanism(), Mechanism::RaisedResolution);
    auto const deadline = Clock::now() + std::chrono::milliseconds(5);
    timer.sleepFor(std::chrono::milliseconds(5));
    EXPECT_GE(Clock::now(), deadline);
  }
}

}  // namespace
