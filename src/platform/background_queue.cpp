#include "platform/background_queue.h"

#include <algorithm>
#include <utility>

#include "platform/delay.h"
#include "platform/signal_blocked_thread.h"

namespace picferry::os {

ThreadBackgroundQueue::~ThreadBackgroundQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::shared_ptr<TaskHandle> ThreadBackgroundQueue::postAfter(double seconds,
                                                             std::function<void()> work) {
  auto task = std::make_shared<CancellableTask>();
  const auto deadline = std::chrono::steady_clock::now() + delayFromSeconds(seconds);
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{deadline, nextSequence_++, task, std::move(work)});
    std::push_heap(entries_.begin(), entries_.end(), std::greater<>());
    if (!thread_.joinable()) thread_ = startThreadWithSignalsBlocked([this] { serve(); });
  }
  wake_.notify_all();
  return task;
}

void ThreadBackgroundQueue::serve() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (entries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto deadline = entries_.front().deadline;
    if (std::chrono::steady_clock::now() < deadline) {
      wake_.wait_until(lock, deadline);
      continue;
    }
    std::pop_heap(entries_.begin(), entries_.end(), std::greater<>());
    Entry due = std::move(entries_.back());
    entries_.pop_back();
    lock.unlock();
    runIfNotCancelled(std::move(due));
    lock.lock();
  }
}

// Runs and releases the work's captures without holding the lock.
void ThreadBackgroundQueue::runIfNotCancelled(Entry entry) {
  if (entry.task->tryStart()) entry.work();
}

}  // namespace picferry::os
