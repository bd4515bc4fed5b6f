#include "platform/real_platform.h"

#include <signal.h>
#include <unistd.h>

#include <asio.hpp>
#include <utility>

#include "platform/background_queue.h"
#include "platform/cancellable_task.h"
#include "platform/delay.h"
#include "platform/fd_input_reader.h"
#include "platform/fd_line_output.h"
#include "platform/posix_file_system.h"

namespace picferry {

namespace {

// The main queue is the io_context run by the main thread.
class AsioMainQueue final : public MainQueue {
 public:
  explicit AsioMainQueue(asio::io_context& io) : io_(io) {}

  void post(std::function<void()> work) override { asio::post(io_, std::move(work)); }

  // One timer per task; it owns itself until it fires. A cancelled task's
  // timer still fires, and then does nothing.
  std::shared_ptr<TaskHandle> postAfter(double seconds, std::function<void()> work) override {
    auto task = std::make_shared<os::CancellableTask>();
    auto timer = std::make_shared<asio::steady_timer>(io_, os::delayFromSeconds(seconds));
    timer->async_wait([timer, task, work = std::move(work)](const asio::error_code& error) {
      if (!error && task->tryStart()) work();
    });
    return task;
  }

 private:
  asio::io_context& io_;
};

// While it lives, the signal's deliveries run the handler on the main queue.
// Its end restores the default action.
class AsioSignalSource final : public SignalSource {
 public:
  AsioSignalSource(asio::io_context& io, int signo, std::function<void()> handler)
      : state_(std::make_shared<State>(io, std::move(handler))) {
    asio::error_code ignored;  // only a signal that cannot be caught fails
    state_->set.add(signo, ignored);
    awaitNext(state_);
  }
  ~AsioSignalSource() override {
    asio::error_code ignored;
    state_->set.clear(ignored);
    state_->set.cancel(ignored);
  }

 private:
  struct State {
    State(asio::io_context& io, std::function<void()> handler)
        : set(io), handler(std::move(handler)) {}
    asio::signal_set set;
    std::function<void()> handler;
  };

  static void awaitNext(const std::shared_ptr<State>& state) {
    state->set.async_wait([weak = std::weak_ptr(state)](const asio::error_code& error, int) {
      const auto state = weak.lock();
      if (error || !state) return;
      state->handler();
      awaitNext(state);
    });
  }

  std::shared_ptr<State> state_;
};

class AsioSignalSources final : public SignalSources {
 public:
  explicit AsioSignalSources(asio::io_context& io) : io_(io) {}
  std::unique_ptr<SignalSource> watch(int signo, std::function<void()> handler) override {
    return std::make_unique<AsioSignalSource>(io_, signo, std::move(handler));
  }

 private:
  asio::io_context& io_;
};

class ImmediateExit final : public Process {
 protected:
  void terminate(int status) override { ::_exit(status); }
};

}  // namespace

// Declared so that the services go before the io_context they post to.
struct RealPlatform::Impl {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning =
      asio::make_work_guard(io);
  AsioMainQueue mainQueue{io};
  AsioSignalSources signals{io};
  os::ThreadBackgroundQueue backgroundQueue;
  os::FdInputReader input{mainQueue, STDIN_FILENO};
  os::PosixFileSystem fileSystem;
  os::FdLineOutput output{STDOUT_FILENO};
  ImmediateExit process;
};

RealPlatform::RealPlatform() : impl_(std::make_unique<Impl>()) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

RealPlatform::~RealPlatform() = default;

Platform RealPlatform::services() {
  return Platform{impl_->mainQueue,  impl_->backgroundQueue, impl_->signals, impl_->input,
                  impl_->fileSystem, impl_->output,          impl_->process};
}

MainQueue& RealPlatform::mainQueue() { return impl_->mainQueue; }

void RealPlatform::run() {
  for (;;) impl_->io.run();  // the work guard keeps run() from returning
}

bool RealPlatform::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    impl_->io.run_one_for(deadline - now);
  }
  return true;
}

}  // namespace picferry
