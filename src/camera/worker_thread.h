#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace picferry {

// One thread running submitted tasks one at a time, in order. Thread-safe.
class WorkerThread {
 public:
  WorkerThread();
  // Lets the running task finish, calls `abandon` of every task not started
  // (on the destroying thread), and joins. Never call from the worker itself.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // `run` runs on the worker; `abandon`, if given, runs instead when the
  // worker is destroyed before `run` started.
  void submit(std::function<void()> run, std::function<void()> abandon = {});

 private:
  struct Task {
    std::function<void()> run;
    std::function<void()> abandon;
  };
  void loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;  // guarded by mutex_
  bool stopping_ = false;   // guarded by mutex_
  std::thread thread_;
};

// Calls `tick` on its own thread at once and then about every `period`, from
// construction until destruction (which waits for a running tick to finish).
class Ticker {
 public:
  Ticker(std::chrono::milliseconds period, std::function<void()> tick);
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace picferry
