#pragma once
// The loop's pause between passes: until a deadline on the monotonic clock, waiting in
// whole milliseconds. How long a millisecond wait really lasts depends on the system:
// Windows 10 2004 and later give a process that asks for nothing the default timer
// resolution of about 15.6 ms, so a 5 ms wait there lasts three times as long. A
// PassTimer takes, for its lifetime, the most precise way to wait that the system offers
// and gives back what it took when it ends:
//   1. a high-resolution waitable timer (Windows 10 1803 and later);
//   2. else the system timer resolution raised to 1 ms for the run;
//   3. else the plain sleep (on Linux this is already precise).
#include <chrono>
#include <cstdint>
#include <memory>

namespace PassTimer {

enum class Mechanism : uint32_t { HighResolutionTimer = 0, RaisedResolution = 1, PlainSleep = 2 };

// The system calls behind the choice, in one interface so that tests can answer for the
// system. Each platform file provides the real one.
class System {
 public:
  virtual ~System() = default;
  // Makes the high-resolution timer; false when the system has none.
  virtual bool openHighResolutionTimer() = 0;
  virtual void closeHighResolutionTimer() = 0;
  // Raises the system timer resolution to 1 ms; false when the system refuses.
  virtual bool raiseResolution() = 0;
  virtual void restoreResolution() = 0;
  // Waits that many milliseconds with the mechanism in use.
  virtual void wait(Mechanism mechanism, uint32_t milliseconds) = 0;
  virtual std::chrono::steady_clock::time_point now() = 0;
};

// The running system's calls.
std::unique_ptr<System> platformSystem();

class Timer {
 public:
  // Picks the mechanism, in the order above, and takes what it needs.
  explicit Timer(std::unique_ptr<System> system = platformSystem());
  // Closes the timer or restores the timer resolution, whichever was taken.
  ~Timer();
  Timer(Timer const&) = delete;
  Timer& operator=(Timer const&) = delete;

  Mechanism mechanism() const { return mechanism_; }

  // Takes now plus the duration as the deadline, then waits the time left, rounded up to
  // whole milliseconds, until the clock has reached it: a wait that ends early is topped
  // up, one that ends late is not repeated.
  void sleepFor(std::chrono::milliseconds duration);

 private:
  std::unique_ptr<System> system_;
  Mechanism mechanism_ = Mechanism::PlainSleep;
};

}  // namespace PassTimer
