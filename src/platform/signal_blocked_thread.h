#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace picferry::os {

// Starts a thread with every signal blocked, so that asynchronous signals
// (SIGTERM, SIGINT) are delivered to the main thread and never interrupt the
// helper thread's system calls. The caller's own mask is left as it was.
template <typename F>
std::thread startThreadWithSignalsBlocked(F&& body) {
  struct BlockAll {
    sigset_t previous;
    BlockAll() {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &previous);
    }
    ~BlockAll() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  } block;
  return std::thread(std::forward<F>(body));
}

}  // namespace picferry::os
