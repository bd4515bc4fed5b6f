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
#include "platform/thread_signal_source.h"

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

class ThreadSignalSources final : public SignalSources {
 public:
  ThreadSignalSources(MainQueue& mainQueue, Process& process)
      : mainQueue_(mainQueue), process_(process) {}
  std::unique_ptr<SignalSource> watch(int signo, std::function<void()> handler) override {
    return std::make_unique<os::ThreadSignalSource>(mainQueue_, process_, signo,
                                                    std::move(handler));
  }

 private:
  MainQueue& mainQueue_;
  Process& process_;
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
  ImmediateExit process;
  ThreadSignalSources signals{mainQueue, process};
  os::ThreadBackgroundQueue backgroundQueue;
  os::FdInputReader input{mainQueue, STDIN_FILENO};
  os::PosixFileSystem fileSystem;
  os::FdLineOutput output{STDOUT_FILENO};
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
