#include <windows.h>
#include <timeapi.h>

#include "app/pass_timer.h"

namespace PassTimer {

namespace {

// Missing from the mingw-w64 headers; Windows 10 1803 and later understand it, earlier
// systems refuse the timer with ERROR_INVALID_PARAMETER, which sends us to the next way.
constexpr DWORD kCreateWaitableTimerHighResolution = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr UINT kResolutionMilliseconds = 1;
constexpr LONG kOnce = 0;                          // a period of 0: the timer fires once
constexpr LONGLONG kTicksPerMillisecond = 10000;  // due times count 100-nanosecond ticks

class WindowsSystem final : public System {
 public:
  ~WindowsSystem() override { closeHighResolutionTimer(); }

  bool openHighResolutionTimer() override {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution,
                                    TIMER_MODIFY_STATE | SYNCHRONIZE);
    return timer_ != nullptr;
  }

  void closeHighResolutionTimer() override {
    if (timer_) CloseHandle(timer_);
    timer_ = nullptr;
  }

  bool raiseResolution() override { return timeBeginPeriod(kResolutionMilliseconds) == TIMERR_NOERROR; }

  void restoreResolution() override { timeEndPeriod(kResolutionMilliseconds); }

  void wait(Mechanism mechanism, uint32_t milliseconds) override {
    if (mechanism == Mechanism::HighResolutionTimer && timer_) {
      // A negative due time is relative, in 100-nanosecond units.
      LARGE_INTEGER due;
      due.QuadPart = -static_cast<LONGLONG>(milliseconds) * kTicksPerMillisecond;
      if (SetWaitableTimer(timer_, &due, kOnce, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer_, INFINITE);
        return;
      }
    }
    // A timer that cannot be set must not leave the loop waiting for ever.
    Sleep(milliseconds);
  }

  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }

 private:
  HANDLE timer_ = nullptr;
};

}  // namespace

std::unique_ptr<System> platformSystem() { return std::make_unique<WindowsSystem>(); }

}  // namespace PassTimer
