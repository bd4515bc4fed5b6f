#pragma once

// A main queue for device tests: work posted from any thread runs on the
// test's thread while it pumps.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/main_queue.h"

namespace picferry::test {

class TestMainQueue final : public MainQueue {
 public:
  using Clock = std::chrono::steady_clock;

  void post(std::function<void()> work) override {
    {
      std::lock_guard lock(mutex_);
      ready_.push_back(std::move(work));
    }
    wake_.notify_all();
  }

  std::shared_ptr<TaskHandle> postAfter(double seconds, std::function<void()> work) override {
    auto handle = std::make_shared<Handle>();
    auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(seconds));
    std::lock_guard lock(mutex_);
    delayed_.emplace(due, [handle, work = std::move(work)] {
      if (!handle->cancelled) work();
    });
    return handle;
  }

  // Runs posted work on this thread until `done()` holds or `timeout` passes.
  // Returns done().
  bool pumpUntil(const std::function<bool()>& done, Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
      std::function<void()> work;
      {
        std::unique_lock lock(mutex_);
        if (!delayed_.empty() && delayed_.begin()->first <= Clock::now()) {
          ready_.push_back(std::move(delayed_.begin()->second));
          delayed_.erase(delayed_.begin());
        }
        if (ready_.empty()) {
          auto until = deadline;
          if (!delayed_.empty()) until = std::min(until, delayed_.begin()->first);
          if (Clock::now() >= deadline) return done();
          wake_.wait_until(lock, until);
          continue;
        }
        work = std::move(ready_.front());
        ready_.pop_front();
      }
      work();
    }
    return true;
  }

  // Runs everything posted for `duration`.
  void pumpFor(Clock::duration duration) {
    pumpUntil([] { return false; }, duration);
  }

 private:
  struct Handle final : TaskHandle {
    void cancel() override { cancelled = true; }
    std::atomic<bool> cancelled{false};
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> ready_;
  std::multimap<Clock::time_point, std::function<void()>> delayed_;
};

}  // namespace picferry::test
