// Byte progress of the requested copy, read from its file as it grows.

#include <algorithm>

#include "transfer/transfer.h"

namespace picferry {

void Transfer::sampleProgressAfter(std::chrono::steady_clock::duration delay) {
  sampling_ = true;
  mainQueue_.postAfter(std::chrono::duration<double>(delay).count(), [weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->sampleProgress();
  });
}

// One sample chain per transfer, so the main queue is reached at most about
// four times a second however short the files. The copy is read as it grows,
// here: the copying threads never wait for it. Once a request's answer is
// taken, bytesCopied() says nothing, so no progress follows the answer.
void Transfer::sampleProgress() {
  sampling_ = false;
  if (!watched_) return;
  const auto bytes = bytesCopied(*watched_->file);
  if (!bytes) return watched_.reset();
  const auto age = std::chrono::steady_clock::now() - watched_->requestedAt;
  if (age < kProgressInterval) return sampleProgressAfter(kProgressInterval - age);
  watched_->reported = std::max(watched_->reported, *bytes);
  const WatchedCopy watched = *watched_;
  watched.delegate->didReceiveDownloadProgressForFile(watched.file, watched.reported);
  // The next interval counts from this report, however late it was told.
  sampleProgressAfter(kProgressInterval);
}

}  // namespace picferry
