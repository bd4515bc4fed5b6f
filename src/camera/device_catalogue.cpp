// The catalogue every backend lists: folder trees walked in a fixed order,
// each folder posted as it is listed, kept visibly alive by a heartbeat, and
// failed as a whole when a folder cannot be read.

#include <algorithm>
#include <thread>

#include "camera/queued_camera_device.h"
#include "platform/paths.h"

namespace picferry {
namespace {

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t nanos(std::chrono::milliseconds duration) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// Hidden entries (".MISC", "._IMG_0001.JPG", ...) are never media.
bool isHidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

}  // namespace

void QueuedCameraDevice::listCatalogue(const std::vector<std::string>& tops,
                                       const ListFolder& list,
                                       std::optional<std::chrono::milliseconds> stallLimit) {
  beginCatalogue();
  // One listing call may block for many seconds (libgphoto2 takes ~24 s for
  // a folder of 100,000 files): the heartbeat keeps the catalogue visibly
  // alive, and tells a slow call from one that never returns.
  Ticker heartbeat(kHeartbeat, [this, stallLimit] { checkCatalogueHeartbeat(stallLimit); });

  std::vector<std::string> pending(tops.rbegin(), tops.rend());
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    FolderContents contents;
    std::optional<DeviceError> failure;
    for (int attempt = 0; attempt < kListingAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kListingRetryPause);
      contents = {};
      failure = list(folder, &contents);
      noteCatalogueProgress();
      if (!failure || catalogueFailed_.load()) break;
    }
    if (failure) {
      failCatalogue(std::move(*failure));
      return;
    }
    std::erase_if(contents.files, [](const auto& file) { return isHidden(file->name().value_or("")); });
    std::sort(contents.files.begin(), contents.files.end(), [](const auto& a, const auto& b) {
      return a->name().value_or("") < b->name().value_or("");
    });
    if (!addToCatalogue({contents.files.begin(), contents.files.end()})) return;

    std::erase_if(contents.folders, isHidden);
    std::sort(contents.folders.begin(), contents.folders.end());
    for (auto it = contents.folders.rbegin(); it != contents.folders.rend(); ++it) {
      pending.push_back(joinPath(folder, *it));
    }
  }
}

void QueuedCameraDevice::noteCatalogueProgress() { lastProgress_.store(nowNanos()); }

void QueuedCameraDevice::beginCatalogue() {
  {
    std::lock_guard lock(mutex_);
    items_.emplace();
  }
  noteCatalogueProgress();
  mainQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) {
      self->cameraDelegate_->deviceDidBecomeReadyWithCompleteContentCatalog(*self);
    }
  });
  postAdded({});
}

// False once the catalogue has failed: nothing more is added.
bool QueuedCameraDevice::addToCatalogue(std::vector<std::shared_ptr<CameraItem>> files) {
  if (catalogueFailed_.load()) return false;
  if (files.empty()) return true;
  {
    std::lock_guard lock(mutex_);
    items_->insert(items_->end(), files.begin(), files.end());
  }
  postAdded(std::move(files));
  return true;
}

void QueuedCameraDevice::failCatalogue(DeviceError error) {
  if (catalogueFailed_.exchange(true)) return;
  mainQueue_.post([weak = weak_from_this(), error = std::move(error)] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) {
      self->cameraDelegate_->cameraDeviceDidFailCatalogWithError(*self, error);
    }
  });
}

// On the heartbeat's thread.
void QueuedCameraDevice::checkCatalogueHeartbeat(
    std::optional<std::chrono::milliseconds> stallLimit) {
  const std::int64_t now = nowNanos();
  if (stallLimit && now - lastProgress_.load() >= nanos(*stallLimit)) {
    failCatalogue({"The device stopped answering while its contents were listed."});
    return;
  }
  if (!catalogueFailed_.load() && now - lastAddition_.load() >= nanos(kHeartbeat)) postAdded({});
}

void QueuedCameraDevice::postAdded(std::vector<std::shared_ptr<CameraItem>> items) {
  lastAddition_.store(nowNanos());
  mainQueue_.post([weak = weak_from_this(), items = std::move(items)] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) self->cameraDelegate_->cameraDeviceDidAddItems(*self, items);
  });
}

}  // namespace picferry
