#include "exec/in_use.h"

#include <algorithm>
#include <thread>

#include "base/heartbeat.h"

namespace {

// Short enough that the window's messages are read about as often as between passes.
constexpr std::chrono::milliseconds kPauseSlice{20};

std::chrono::milliseconds steadyNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

void pauseBeating(std::chrono::milliseconds duration) {
  auto const end = std::chrono::steady_clock::now() + duration;
  for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
    Heartbeat::beat();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPauseSlice, end - now));
  }
}

}  // namespace

namespace InUse {

Busy awaitRelease(std::vector<std::string> const& trees) {
  static Clock const kSteadyClock{steadyNow, pauseBeating};
  Clock const& clock = Base::ReplaceableCalls<Clock>::current(kSteadyClock);
  auto const start = clock.now();
  for (;;) {
    std::vector<std::vector<User>> users;
    // A tree the system cannot be asked about is taken as free: the rename that follows
    // is then the last guard, as it was before anyone asked.
    (void)usersOf(trees, users);
    auto const inUse = std::find_if(users.begin(), users.end(), [](auto const& list) { return !list.empty(); });
    if (inUse == users.end()) return {trees.size(), {}};
    // A user who closed the window meanwhile is not kept waiting for a process without one.
    if (clock.now() - start >= kWaitForRelease || Heartbeat::abandoned()) {
      return {static_cast<size_t>(inUse - users.begin()), *inUse};
    }
    clock.pause(kAskAgainEvery);
  }
}

}  // namespace InUse
