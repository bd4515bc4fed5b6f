#include "camera/queued_camera_device.h"

namespace picferry {

QueuedCameraDevice::QueuedCameraDevice(MainQueue& mainQueue, std::string id, DeviceRoute route,
                                       std::optional<std::string> name)
    : mainQueue_(mainQueue),
      id_(std::move(id)),
      route_(route),
      name_(std::move(name)),
      worker_(std::make_unique<WorkerThread>()),
      pipeline_(std::make_unique<DownloadPipeline>(static_cast<DownloadPipelineHost&>(*this))) {}

QueuedCameraDevice::~QueuedCameraDevice() {
  stopWorker();
  pipeline_.reset();
}

void QueuedCameraDevice::stopWorker() {
  pipeline_->abandonAll();
  worker_.reset();
}

void QueuedCameraDevice::runOnDevice(std::function<void()> run, std::function<void()> abandon) {
  if (worker_) {
    worker_->submit(std::move(run), std::move(abandon));
  } else if (abandon) {
    abandon();
  }
}

std::shared_ptr<CameraFile> QueuedCameraDevice::fileAfter(const CameraFile& file) const {
  std::lock_guard lock(mutex_);
  if (!items_) return nullptr;
  const auto& items = *items_;
  // Downloads go in catalogue order: the next file is almost always where
  // the last search ended.
  std::size_t at = afterHint_ < items.size() && items[afterHint_].get() == &file
                       ? afterHint_
                       : items.size();
  for (std::size_t i = 0; at == items.size() && i < items.size(); ++i) {
    if (items[i].get() == &file) at = i;
  }
  for (std::size_t i = at + 1; i < items.size(); ++i) {
    if (auto next = std::dynamic_pointer_cast<CameraFile>(items[i])) {
      afterHint_ = i;
      return next;
    }
  }
  return nullptr;
}

void QueuedCameraDevice::report(DownloadRequest request, std::optional<DeviceError> error) {
  postDownloaded(request.delegate, std::move(request.file), std::move(error),
                 std::move(request.options), request.contextInfo);
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
