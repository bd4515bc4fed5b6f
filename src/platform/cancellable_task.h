#pragma once

#include <atomic>

#include "platform/main_queue.h"

namespace picferry::os {

// The handle of one scheduled piece of work. Whoever runs the work calls
// tryStart() first and runs it only on true; cancel() before that wins, so the
// work never runs. Both are thread-safe and decide exactly once.
class CancellableTask final : public TaskHandle {
 public:
  void cancel() override {
    State expected = State::kPending;
    state_.compare_exchange_strong(expected, State::kCancelled);
  }
  bool tryStart() {
    State expected = State::kPending;
    return state_.compare_exchange_strong(expected, State::kStarted);
  }

 private:
  enum class State { kPending, kStarted, kCancelled };
  std::atomic<State> state_{State::kPending};
};

}  // namespace picferry::os
