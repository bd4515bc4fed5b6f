#include "camera/queued_camera_device.h"

namespace picferry {
namespace {

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::optional<std::string> QueuedCameraDevice::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void QueuedCameraDevice::setName(std::optional<std::string> name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

std::optional<std::vector<std::shared_ptr<CameraItem>>> QueuedCameraDevice::mediaFiles() const {
  std::lock_guard lock(mutex_);
  return items_;
}

void QueuedCameraDevice::reportRemoved() {
  mainQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->didRemoveDevice(*self);
  });
}

void QueuedCameraDevice::postOpened(std::optional<DeviceError> error) {
  mainQueue_.post([weak = weak_from_this(), error = std::move(error)] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->deviceDidOpenSessionWithError(*self, error);
  });
}

std::unique_ptr<Ticker> QueuedCameraDevice::beginCatalogue() {
  {
    std::lock_guard lock(mutex_);
    items_.emplace();
  }
  mainQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) {
      self->cameraDelegate_->deviceDidBecomeReadyWithCompleteContentCatalog(*self);
    }
  });
  postAdded({});
  // One listing call may block for many seconds: an empty addition keeps the
  // catalogue visibly alive.
  return std::make_unique<Ticker>(kHeartbeat, [this] {
    if (nowNanos() - lastAddition_.load() >=
        std::chrono::duration_cast<std::chrono::nanoseconds>(kHeartbeat).count()) {
      postAdded({});
    }
  });
}

void QueuedCameraDevice::addToCatalogue(std::vector<std::shared_ptr<CameraItem>> files) {
  if (files.empty()) return;
  {
    std::lock_guard lock(mutex_);
    items_->insert(items_->end(), files.begin(), files.end());
  }
  postAdded(std::move(files));
}

void QueuedCameraDevice::postAdded(std::vector<std::shared_ptr<CameraItem>> items) {
  lastAddition_.store(nowNanos());
  mainQueue_.post([weak = weak_from_this(), items = std::move(items)] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) self->cameraDelegate_->cameraDeviceDidAddItems(*self, items);
  });
}

void QueuedCameraDevice::submitDownload(WorkerThread& worker, std::shared_ptr<CameraFile> file,
                                        std::string fileName, const DownloadOptions& options,
                                        CameraDeviceDownloadDelegate* delegate, void* contextInfo,
                                        std::function<std::optional<DeviceError>()> download) {
  worker.submit(
      [this, file, options, delegate, contextInfo, download = std::move(download)] {
        postDownloaded(delegate, file, download(), options, contextInfo);
      },
      [this, file, fileName = std::move(fileName), options, delegate, contextInfo] {
        postDownloaded(
            delegate, file,
            DeviceError{"The device was closed before " + fileName + " could be copied."}, options,
            contextInfo);
      });
}

void QueuedCameraDevice::postDownloaded(CameraDeviceDownloadDelegate* delegate,
                                        std::shared_ptr<CameraFile> file,
                                        std::optional<DeviceError> error, DownloadOptions options,
                                        void* contextInfo) {
  if (!delegate) return;
  mainQueue_.post([delegate, file = std::move(file), error = std::move(error),
                   options = std::move(options),
                   contextInfo] { delegate->didDownloadFile(file, error, options, contextInfo); });
}

}  // namespace picferry
