#pragma once

#include <gphoto2/gphoto2-context.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>

#include "camera/stall_watchdog.h"

namespace picferry {

// A libgphoto2 context for one camera's worker thread. It collects the
// library's error and message texts (nothing is printed), and its cancel
// callback ends a call when cancelAll() was called or when a watched transfer
// stops making progress. Use from the worker thread, except cancelAll().
class Gphoto2Context {
 public:
  explicit Gphoto2Context(StallWatchdog::Clock::duration stallLimit = std::chrono::seconds(30));
  ~Gphoto2Context();
  Gphoto2Context(const Gphoto2Context&) = delete;
  Gphoto2Context& operator=(const Gphoto2Context&) = delete;

  GPContext* get() const { return context_; }

  // Texts reported by the library since the last clearMessages(), joined by "; ".
  void clearMessages() { messages_.clear(); }
  const std::string& messages() const { return messages_; }

  // Thread-safe: every call in progress or to come is cancelled.
  void cancelAll() { cancelled_.store(true); }

  // Until endTransfer(), a call that lets the file behind `fd` stop growing
  // for the stall limit is cancelled, as is every call once `abandoned` is
  // set. endTransfer() tells whether the transfer stalled.
  // Meanwhile write-back of what has arrived is started every few MiB, so the
  // final flush waits only for the tail of the file.
  void watchTransfer(int fd, const std::atomic<bool>& abandoned);
  bool endTransfer();

 private:
  static GPContextFeedback onCancel(GPContext* context, void* data);
  static void onText(GPContext* context, const char* text, void* data);

  GPContext* context_;
  std::atomic<bool> cancelled_{false};
  std::string messages_;
  int watchedFd_ = -1;
  const std::atomic<bool>* abandoned_ = nullptr;
  off_t writeBackFrom_ = 0;
  bool stalled_ = false;
  StallWatchdog watchdog_;
};

}  // namespace picferry
