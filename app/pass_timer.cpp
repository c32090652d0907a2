#include "app/pass_timer.h"

#include <utility>

namespace PassTimer {

Timer::Timer(std::unique_ptr<System> system) : system_(std::move(system)) {
  if (system_->openHighResolutionTimer()) {
    mechanism_ = Mechanism::HighResolutionTimer;
  } else if (system_->raiseResolution()) {
    mechanism_ = Mechanism::RaisedResolution;
  } else {
    mechanism_ = Mechanism::PlainSleep;
  }
}

Timer::~Timer() {
  // A raised resolution costs the whole machine power until it is given back.
  if (mechanism_ == Mechanism::HighResolutionTimer) system_->closeHighResolutionTimer();
  if (mechanism_ == Mechanism::RaisedResolution) system_->restoreResolution();
}

void Timer::sleepFor(std::chrono::milliseconds duration) {
  auto const deadline = system_->now() + duration;
  for (;;) {
    auto const left = deadline - system_->now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    auto const wholeMilliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    system_->wait(mechanism_, static_cast<uint32_t>(wholeMilliseconds));
  }
}

}  // namespace PassTimer
