#include "camera/queued_camera_device.h"

#include <algorithm>

namespace picferry {

QueuedCameraDevice::QueuedCameraDevice(MainQueue& mainQueue, std::string id, DeviceRoute route,
                                       std::optional<std::string> name)
    : mainQueue_(mainQueue),
      id_(std::move(id)),
      route_(route),
      name_(std::move(name)),
      worker_(std::make_unique<WorkerThread>()) {}

QueuedCameraDevice::~QueuedCameraDevice() {
  stopWorker();
  transfer_.reset();
}

void QueuedCameraDevice::stopWorker() {
  if (transfer_) transfer_->abandonAll();
  worker_.reset();
}

void QueuedCameraDevice::runOnDevice(std::function<void()> run, std::function<void()> abandon) {
  if (worker_) {
    worker_->submit(std::move(run), std::move(abandon));
  } else if (abandon) {
    abandon();
  }
}

Transfer& QueuedCameraDevice::transfer() {
  if (!transfer_) {
    transfer_ = std::make_shared<Transfer>(mainQueue_, static_cast<TransferSource&>(*this));
  }
  return *transfer_;
}

void QueuedCameraDevice::planDownloads(const std::string& directory,
                                       std::vector<PlannedDownload> plan) {
  transfer().plan(directory, std::move(plan));
}

void QueuedCameraDevice::requestDownload(DownloadRequest request) {
  transfer().request(std::move(request));
}

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
