#include "platform/fd_input_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cassert>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/signal_blocked_thread.h"

namespace picferry::os {

namespace {
constexpr size_t kChunkSize = 64 * 1024;
}  // namespace

// What the reader thread shares with its owner. The owner clears `mainQueue`
// when it goes away; the thread posts only under the lock with the queue set.
struct FdInputReader::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  MainQueue* mainQueue = nullptr;            // guarded by mutex
  bool handled = true;                       // guarded by mutex: the last chunk was
  std::function<void(std::string)> onChunk;  // set before the thread starts
  std::atomic<bool> finished{false};
};

// Posts the chunk and waits until the main queue has handled it, so that input
// nobody has handled yet stays in the pipe (whose writer then blocks), never in
// memory. False once the owner is gone.
bool FdInputReader::postChunk(const std::shared_ptr<Shared>& shared, std::string chunk) {
  std::unique_lock lock(shared->mutex);
  if (shared->mainQueue == nullptr) return false;
  shared->handled = false;
  shared->mainQueue->post([shared, chunk = std::move(chunk)]() mutable {
    shared->onChunk(std::move(chunk));
    std::lock_guard handledLock(shared->mutex);
    shared->handled = true;
    shared->changed.notify_all();
  });
  shared->changed.wait(lock, [&] { return shared->handled || shared->mainQueue == nullptr; });
  return shared->mainQueue != nullptr;
}

FdInputReader::FdInputReader(MainQueue& mainQueue, int fd) : mainQueue_(mainQueue), fd_(fd) {}

FdInputReader::~FdInputReader() {
  if (!shared_) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->mainQueue = nullptr;
    shared_->changed.notify_all();
  }
  if (shared_->finished) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void FdInputReader::start(std::function<void(std::string chunk)> onChunk) {
  assert(!shared_ && "start() called twice");
  if (shared_) return;
  shared_ = std::make_shared<Shared>();
  shared_->mainQueue = &mainQueue_;
  shared_->onChunk = std::move(onChunk);
  thread_ = startThreadWithSignalsBlocked(
      [fd = fd_, shared = shared_]() mutable { readUntilEnd(fd, std::move(shared)); });
}

void FdInputReader::readUntilEnd(int fd, std::shared_ptr<Shared> shared) {
  std::string buffer(kChunkSize, '\0');
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor inherited in non-blocking mode: wait until readable.
      pollfd readable{fd, POLLIN, 0};
      ::poll(&readable, 1, -1);
      continue;
    }
    if (n <= 0) break;
    if (!postChunk(shared, buffer.substr(0, static_cast<size_t>(n)))) break;
  }
  postChunk(shared, std::string());
  shared->finished = true;
}

}  // namespace picferry::os
