#pragma once
// Tells a stalled transfer from a slow one: a transfer has stalled when it received fewer
// than minBytes during the last window (1 KiB in the last minute), however long it has
// run before. A slow line that keeps delivering is never cut, and a server that stops
// sending, or trickles a few bytes now and then to keep the connection open, is given up
// on. Time is handed in, so the rule is tested without waiting.
#include <chrono>
#include <cstdint>
#include <deque>

namespace HTTP {

class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit StallWatch(uint64_t minBytes = 1024, Clock::duration window = std::chrono::seconds(60))
      : minBytes_(minBytes), window_(window) {}

  // Records that totalBytes (never decreasing) had arrived by now. False once the
  // transfer has run for a whole window and fewer than minBytes arrived during the last
  // one. The first call starts the clock. Counts are kept per second, so the window is
  // measured to within a second, and memory stays bounded whatever the traffic.
  bool progress(Clock::time_point now, uint64_t totalBytes);

 private:
  struct Sample {
    Clock::time_point time;  // the end of the second it stands for
    uint64_t bytes;          // everything received by then
  };
  uint64_t minBytes_;
  Clock::duration window_;
  bool started_ = false;
  Clock::time_point start_;
  std::deque<Sample> samples_;  // oldest first; at most one at or before the window start
};

}  // namespace HTTP
