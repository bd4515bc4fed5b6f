#include "camera/worker_thread.h"

#include <cassert>

#include "platform/signal_blocked_thread.h"

namespace picferry {

WorkerThread::WorkerThread() : thread_(os::startThreadWithSignalsBlocked([this] { loop(); })) {}

WorkerThread::~WorkerThread() {
  assert(std::this_thread::get_id() != thread_.get_id());
  std::deque<Task> abandoned;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    abandoned.swap(tasks_);
  }
  wake_.notify_all();
  thread_.join();
  for (auto& task : abandoned) {
    if (task.abandon) task.abandon();
  }
}

void WorkerThread::submit(std::function<void()> run, std::function<void()> abandon) {
  bool accepted = false;
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      tasks_.push_back({std::move(run), std::move(abandon)});
      accepted = true;
    }
  }
  if (accepted) {
    wake_.notify_one();
  } else if (abandon) {
    abandon();
  }
}

void WorkerThread::loop() {
  for (;;) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task.run();
  }
}

Ticker::Ticker(std::chrono::milliseconds period, std::function<void()> tick)
    : thread_(os::startThreadWithSignalsBlocked([this, period, tick = std::move(tick)] {
        std::unique_lock lock(mutex_);
        do {
          lock.unlock();
          tick();
          lock.lock();
        } while (!wake_.wait_for(lock, period, [this] { return stopping_; }));
      })) {}

Ticker::~Ticker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

}  // namespace picferry
