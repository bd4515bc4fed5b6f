#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/main_queue.h"
#include "platform/services.h"

namespace picferry::os {

// Watches one signal while it lives: the signal is blocked in the thread that
// constructs it (the main thread, before any thread that leaves signals
// unblocked; every thread started later inherits the mask) and read from a
// signalfd by a thread of its own, which posts `handler` to the main queue.
// So a delivery is acted on even while the main thread is stuck (writing to a
// full standard output nobody reads): a handler that has not returned within
// a second of its delivery ends the process with status 0, the status of a
// stop. Destroy it on the thread that constructed it; pending deliveries are
// then dropped, and the signal's default action is back.
class ThreadSignalSource final : public SignalSource {
 public:
  ThreadSignalSource(MainQueue& mainQueue, Process& process, int signo,
                     std::function<void()> handler);
  ~ThreadSignalSource() override;
  ThreadSignalSource(const ThreadSignalSource&) = delete;
  ThreadSignalSource& operator=(const ThreadSignalSource&) = delete;

 private:
  struct State;
  static void serve(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace picferry::os
