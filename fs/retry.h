#pragma once
// Waiting out the moment a file is held by someone else. On Windows a scanner, the search
// indexer or Explorer open files briefly, and deleting, creating or renaming a name right
// then fails with ERROR_ACCESS_DENIED (5), ERROR_SHARING_VIOLATION (32) or, for a
// directory whose last child's deletion is still pending, ERROR_DIR_NOT_EMPTY (145).
// Those three, and nothing else, are tried again a bounded number of times with a
// growing pause: 10, 20, 40, 80 and 160 ms between six attempts, 310 ms in all at worst.
// Portable so that both builds test it; only the Windows file operations use it.
#include <chrono>
#include <functional>

#include "fs/fs.h"

namespace FS::detail {

constexpr int kTransientAttempts = 6;

// Whether a Windows error code is one of the three above.
bool isTransientWindowsError(int code);

// Calls attempt until it succeeds, fails with an error that is not transient, or has
// been called kTransientAttempts times, pausing between calls; returns its last outcome.
Status retryWhileTransient(std::function<Status()> const& attempt);

// Test seam: while alive, the pauses between attempts call sleep instead of sleeping;
// the pause that was in place before comes back when it ends.
class ScopedRetrySleep {
 public:
  explicit ScopedRetrySleep(std::function<void(std::chrono::milliseconds)> sleep);
  ~ScopedRetrySleep();
  ScopedRetrySleep(ScopedRetrySleep const&) = delete;
  ScopedRetrySleep& operator=(ScopedRetrySleep const&) = delete;

 private:
  std::function<void(std::chrono::milliseconds)> sleep_;
  ScopedRetrySleep* previous_;
  friend Status retryWhileTransient(std::function<Status()> const& attempt);
};

}  // namespace FS::detail
