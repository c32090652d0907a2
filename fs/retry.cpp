#include "fs/retry.h"

#include <thread>

namespace FS::detail {

namespace {

constexpr int kErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr int kErrorSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr int kErrorDirNotEmpty = 145;      // ERROR_DIR_NOT_EMPTY
constexpr std::chrono::milliseconds kFirstPause{10};

ScopedRetrySleep* currentSleep = nullptr;

}  // namespace

bool isTransientWindowsError(int code) {
  return code == kErrorAccessDenied || code == kErrorSharingViolation || code == kErrorDirNotEmpty;
}

Status retryWhileTransient(std::function<Status()> const& attempt) {
  std::chrono::milliseconds pause = kFirstPause;
  for (int made = 1;; ++made) {
    Status const outcome = attempt();
    if (outcome || !isTransientWindowsError(outcome.error) || made == kTransientAttempts) return outcome;
    if (currentSleep) {
      currentSleep->sleep_(pause);
    } else {
      std::this_thread::sleep_for(pause);
    }
    pause *= 2;
  }
}

ScopedRetrySleep::ScopedRetrySleep(std::function<void(std::chrono::milliseconds)> sleep)
    : sleep_(std::move(sleep)), previous_(currentSleep) {
  currentSleep = this;
}

ScopedRetrySleep::~ScopedRetrySleep() { currentSleep = previous_; }

}  // namespace FS::detail
