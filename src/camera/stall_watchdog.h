#pragma once

#include <chrono>
#include <cstdint>

namespace picferry {

// Decides that a transfer has stalled: its progress counter has not changed
// for `limit`. Not thread-safe; fed by the thread doing the transfer.
class StallWatchdog {
 public:
  using Clock = std::chrono::steady_clock;

  explicit StallWatchdog(Clock::duration limit) : limit_(limit) {}

  // Starts watching a new transfer at `now`.
  void reset(Clock::time_point now) {
    lastProgress_ = -1;
    lastChange_ = now;
  }

  // Records the progress seen at `now`; true once it has not moved for the limit.
  bool stalled(std::int64_t progress, Clock::time_point now) {
    if (progress != lastProgress_) {
      lastProgress_ = progress;
      lastChange_ = now;
      return false;
    }
    return now - lastChange_ >= limit_;
  }

  // How long, as of `now`, the progress counter has not moved.
  Clock::duration quietFor(Clock::time_point now) const { return now - lastChange_; }

 private:
  Clock::duration limit_;
  std::int64_t lastProgress_ = -1;
  Clock::time_point lastChange_{};
};

}  // namespace picferry
