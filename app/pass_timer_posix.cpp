#include <thread>

#include "app/pass_timer.h"

namespace PassTimer {

namespace {

// The kernel's sleep is already precise to well under a millisecond: there is nothing
// to take, so the timer always falls through to the plain sleep.
class PosixSystem final : public System {
 public:
  bool openHighResolutionTimer() override { return false; }
  void closeHighResolutionTimer() override {}
  bool raiseResolution() override { return false; }
  void restoreResolution() override {}
  void wait(Mechanism, uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

std::unique_ptr<System> platformSystem() { return std::make_unique<PosixSystem>(); }

}  // namespace PassTimer
