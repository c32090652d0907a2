#include "http/stall_watch.h"

namespace HTTP {

bool StallWatch::progress(Clock::time_point now, uint64_t totalBytes) {
  if (!started_) {
    started_ = true;
    start_ = now;
    samples_.push_back({now, totalBytes});
    return true;
  }
  // One sample per second: a later call within the same second only raises its count,
  // which can make the window look a little emptier than it was, never fuller.
  if (now - samples_.back().time < std::chrono::seconds(1)) {
    samples_.back().bytes = totalBytes;
  } else {
    samples_.push_back({now, totalBytes});
  }

  Clock::time_point const windowStart = now - window_;
  // Keep the newest sample at or before the window's start: it tells what had arrived
  // then. Everything older says nothing more.
  while (samples_.size() >= 2 && samples_[1].time <= windowStart) samples_.pop_front();
  if (now - start_ < window_) return true;
  uint64_t const before = samples_.front().time <= windowStart ? samples_.front().bytes : 0;
  return totalBytes - before >= minBytes_;
}

}  // namespace HTTP
