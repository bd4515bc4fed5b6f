#include "camera/gphoto2/gphoto2_context.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

namespace picferry {
namespace {

constexpr off_t kWriteBackStep = 1 << 20;
// libgphoto2 calls the cancel callback again at once while a source gives
// nothing: after this long without a byte, each call pauses instead of spinning.
constexpr auto kQuietBeforePausing = std::chrono::milliseconds(100);
constexpr auto kPause = std::chrono::milliseconds(20);

}  // namespace

Gphoto2Context::Gphoto2Context(StallWatchdog::Clock::duration stallLimit)
    : context_(gp_context_new()), watchdog_(stallLimit) {
  gp_context_set_cancel_func(context_, &Gphoto2Context::onCancel, this);
  gp_context_set_error_func(context_, &Gphoto2Context::onText, this);
  gp_context_set_message_func(context_, &Gphoto2Context::onText, this);
}

Gphoto2Context::~Gphoto2Context() { gp_context_unref(context_); }

void Gphoto2Context::watchTransfer(int fd, const std::atomic<bool>& abandoned) {
  watchedFd_ = fd;
  abandoned_ = &abandoned;
  writeBackFrom_ = 0;
  stalled_ = false;
  watchdog_.reset(StallWatchdog::Clock::now());
}

bool Gphoto2Context::endTransfer() {
  watchedFd_ = -1;
  abandoned_ = nullptr;
  return stalled_;
}

GPContextFeedback Gphoto2Context::onCancel(GPContext*, void* data) {
  auto* self = static_cast<Gphoto2Context*>(data);
  if (self->cancelled_.load() || (self->abandoned_ && self->abandoned_->load())) {
    return GP_CONTEXT_FEEDBACK_CANCEL;
  }
  if (self->watchedFd_ >= 0) {
    const auto now = StallWatchdog::Clock::now();
    struct stat st {};
    if (fstat(self->watchedFd_, &st) == 0) {
      if (self->watchdog_.stalled(st.st_size, now)) self->stalled_ = true;
      if (st.st_size - self->writeBackFrom_ >= kWriteBackStep) {
        // Asynchronous: the disk works on this part while the rest arrives.
        sync_file_range(self->watchedFd_, self->writeBackFrom_,
                        st.st_size - self->writeBackFrom_, SYNC_FILE_RANGE_WRITE);
        self->writeBackFrom_ = st.st_size;
      }
    }
    if (self->stalled_) return GP_CONTEXT_FEEDBACK_CANCEL;
    if (self->watchdog_.quietFor(now) >= kQuietBeforePausing) std::this_thread::sleep_for(kPause);
  }
  return GP_CONTEXT_FEEDBACK_OK;
}

void Gphoto2Context::onText(GPContext*, const char* text, void* data) {
  auto* self = static_cast<Gphoto2Context*>(data);
  if (!text || !*text || self->messages_.size() > 4096) return;  // bounded
  if (!self->messages_.empty()) self->messages_ += "; ";
  self->messages_ += text;
}

}  // namespace picferry
