#include "platform/thread_signal_source.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

#include "platform/signal_blocked_thread.h"

namespace picferry::os {
namespace {

constexpr auto kGrace = std::chrono::seconds(1);
constexpr int kStopStatus = 0;

sigset_t only(int signo) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  return set;
}

// Reads every delivery waiting on the signalfd (non-blocking); true if any.
bool drain(int signalFd) {
  bool any = false;
  signalfd_siginfo info;
  while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  return any;
}

}  // namespace

struct ThreadSignalSource::State {
  State(MainQueue& queue, Process& exit, std::function<void()> run, int watched)
      : mainQueue(queue), process(exit), handler(std::move(run)), signo(watched) {}
  MainQueue& mainQueue;
  Process& process;
  std::function<void()> handler;
  int signo;
  int signalFd = -1;
  int stopFd = -1;
  std::atomic<bool> watching{true};
  std::atomic<int> unfinished{0};  // handlers posted that have not returned
};

ThreadSignalSource::ThreadSignalSource(MainQueue& mainQueue, Process& process, int signo,
                                       std::function<void()> handler)
    : state_(std::make_shared<State>(mainQueue, process, std::move(handler), signo)) {
  const sigset_t set = only(signo);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  state_->signalFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  state_->stopFd = ::eventfd(0, EFD_CLOEXEC);
  thread_ = startThreadWithSignalsBlocked([state = state_] { serve(state); });
}

ThreadSignalSource::~ThreadSignalSource() {
  state_->watching = false;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(state_->stopFd, &one, sizeof one);
  thread_.join();
  drain(state_->signalFd);
  const sigset_t set = only(state_->signo);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::close(state_->signalFd);
  ::close(state_->stopFd);
}

void ThreadSignalSource::serve(const std::shared_ptr<State>& state) {
  // No deadline while no stop is pending.
  constexpr auto kNone = std::chrono::steady_clock::time_point::max();
  auto deadline = kNone;
  for (;;) {
    int timeoutMs = -1;
    if (deadline != kNone) {
      const auto left = deadline - std::chrono::steady_clock::now();
      timeoutMs = static_cast<int>(
          std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    pollfd fds[2] = {{state->signalFd, POLLIN, 0}, {state->stopFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) && drain(state->signalFd)) {
      if (state->unfinished++ == 0) deadline = std::chrono::steady_clock::now() + kGrace;
      state->mainQueue.post([state] {
        if (state->watching) state->handler();
        --state->unfinished;
      });
    }
    if (deadline != kNone && std::chrono::steady_clock::now() >= deadline) {
      if (state->unfinished > 0) state->process.exit(kStopStatus);
      deadline = kNone;
    }
  }
}

}  // namespace picferry::os
