#include "camera/queued_camera_device.h"

namespace picferry {

QueuedCameraDevice::QueuedCameraDevice(MainQueue& mainQueue, std::optional<std::string> name)
    : mainQueue_(mainQueue), name_(std::move(name)), worker_(std::make_unique<WorkerThread>()) {}

QueuedCameraDevice::~QueuedCameraDevice() { stopWorker(); }

void QueuedCameraDevice::stopWorker() { worker_.reset(); }

void QueuedCameraDevice::requestOpenSession() {
  worker_->submit([this] { openSession(); });
}

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

void QueuedCameraDevice::submitDownload(std::shared_ptr<CameraFile> file,
                                        const DownloadOptions& options,
                                        CameraDeviceDownloadDelegate* delegate, void* contextInfo,
                                        std::function<std::optional<DeviceError>()> download) {
  worker_->submit(
      [this, file, options, delegate, contextInfo, download = std::move(download)] {
        postDownloaded(delegate, file, download(), options, contextInfo);
      },
      [this, file, options, delegate, contextInfo] {
        postDownloaded(delegate, file,
                       DeviceError{"The device was closed before " +
                                   file->name().value_or("the file") + " could be copied."},
                       options, contextInfo);
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
