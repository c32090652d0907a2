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

// timeBeginPeriod and timeEndPeriod live in winmm.dll, which is not one of the system's
// known DLLs: imported, it would be looked for in the launcher's folder first. Only a
// system without the high-resolution timer needs them, so winmm.dll is loaded then, from
// the system directory only.
using TimePeriodCall = MMRESULT(WINAPI*)(UINT);

TimePeriodCall lookUp(HMODULE module, char const* name) {
  return reinterpret_cast<TimePeriodCall>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class WindowsSystem final : public System {
 public:
  ~WindowsSystem() override {
    closeHighResolutionTimer();
    if (winmm_) FreeLibrary(winmm_);
  }

  bool openHighResolutionTimer() override {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution,
                                    TIMER_MODIFY_STATE | SYNCHRONIZE);
    return timer_ != nullptr;
  }

  void closeHighResolutionTimer() override {
    if (timer_) CloseHandle(timer_);
    timer_ = nullptr;
  }

  bool raiseResolution() override {
    if (!winmm_) winmm_ = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!winmm_) return false;
    TimePeriodCall const begin = lookUp(winmm_, "timeBeginPeriod");
    timeEndPeriod_ = lookUp(winmm_, "timeEndPeriod");
    return begin && timeEndPeriod_ && begin(kResolutionMilliseconds) == TIMERR_NOERROR;
  }

  void restoreResolution() override {
    if (timeEndPeriod_) timeEndPeriod_(kResolutionMilliseconds);
  }

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
  HMODULE winmm_ = nullptr;
  TimePeriodCall timeEndPeriod_ = nullptr;
};

}  // namespace

std::unique_ptr<System> platformSystem() { return std::make_unique<WindowsSystem>(); }

}  // namespace PassTimer
