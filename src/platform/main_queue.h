#pragma once

#include <functional>
#include <memory>

namespace picferry {

// A scheduled piece of work. cancel() before the work starts means it never
// runs; cancelling work that is running or has run has no effect. Thread-safe.
class TaskHandle {
 public:
  virtual ~TaskHandle() = default;
  virtual void cancel() = 0;
};

// The queue serviced by the main thread's run loop: its work runs one item at
// a time, in order of posting (immediate work) or of deadline (delayed work).
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Thread-safe: callable from any thread.
  virtual void post(std::function<void()> work) = 0;
  // Runs `work` once on the main thread, not before `seconds` from now on a
  // monotonic clock. Call on the main thread.
  virtual std::shared_ptr<TaskHandle> postAfter(double seconds,
                                                std::function<void()> work) = 0;
};

// A queue whose work runs off the main thread (only the start-up watchdog).
class BackgroundQueue {
 public:
  virtual ~BackgroundQueue() = default;
  virtual std::shared_ptr<TaskHandle> postAfter(double seconds,
                                                std::function<void()> work) = 0;
};

}  // namespace picferry
