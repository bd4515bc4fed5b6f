#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/cancellable_task.h"
#include "platform/main_queue.h"

namespace picferry::os {

// Delayed work on one background thread, started on the first postAfter().
// Work runs in deadline order (monotonic clock), one item at a time. The
// destructor drops work not yet due and joins the thread.
class ThreadBackgroundQueue final : public BackgroundQueue {
 public:
  ThreadBackgroundQueue() = default;
  ~ThreadBackgroundQueue() override;
  ThreadBackgroundQueue(const ThreadBackgroundQueue&) = delete;
  ThreadBackgroundQueue& operator=(const ThreadBackgroundQueue&) = delete;

  std::shared_ptr<TaskHandle> postAfter(double seconds, std::function<void()> work) override;

 private:
  struct Entry {
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t sequence;  // keeps equal deadlines in order of posting
    std::shared_ptr<CancellableTask> task;
    std::function<void()> work;
    bool operator>(const Entry& other) const {
      return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
    }
  };

  void serve();
  static void runIfNotCancelled(Entry entry);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Entry> entries_;      // a min-heap on (deadline, sequence); guarded by mutex_
  std::uint64_t nextSequence_ = 0;  // guarded by mutex_
  bool stopping_ = false;           // guarded by mutex_
  std::thread thread_;              // guarded by mutex_
};

}  // namespace picferry::os
