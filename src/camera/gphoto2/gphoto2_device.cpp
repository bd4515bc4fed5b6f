#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {
namespace {

// The most specific name known before a session: a mounted storage's folder
// name, else the driver's model name.
std::optional<std::string> initialName(const DetectedCamera& detected) {
  if (detected.port.rfind("disk:", 0) == 0) {
    std::string path = detected.port.substr(5);
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::string last = path.substr(path.rfind('/') + 1);
    if (last.empty()) return std::nullopt;
    return last;
  }
  if (detected.model.empty()) return std::nullopt;
  return detected.model;
}

void postDownloaded(MainQueue& mainQueue, CameraDeviceDownloadDelegate* delegate,
                    std::shared_ptr<CameraFile> file, std::optional<DeviceError> error,
                    DownloadOptions options, void* contextInfo) {
  if (!delegate) return;
  mainQueue.post([delegate, file = std::move(file), error = std::move(error),
                  options = std::move(options), contextInfo] {
    delegate->didDownloadFile(file, error, options, contextInfo);
  });
}

}  // namespace

Gphoto2Device::Gphoto2Device(MainQueue& mainQueue, std::shared_ptr<Gphoto2Drivers> drivers,
                             DetectedCamera detected)
    : mainQueue_(mainQueue),
      drivers_(std::move(drivers)),
      detected_(std::move(detected)),
      name_(initialName(detected_)),
      worker_(std::make_unique<WorkerThread>()) {}

Gphoto2Device::~Gphoto2Device() {
  context_.cancelAll();
  worker_.reset();  // Runs the abandon handlers of pending requests.
  camera_.reset();
}

void Gphoto2Device::reportRemoved() {
  mainQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->didRemoveDevice(*self);
  });
}

void Gphoto2Device::requestOpenSession() {
  worker_->submit([this] { openSession(); });
}

std::optional<std::string> Gphoto2Device::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void Gphoto2Device::setName(std::optional<std::string> name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

std::optional<std::vector<std::shared_ptr<CameraItem>>> Gphoto2Device::mediaFiles() const {
  std::lock_guard lock(mutex_);
  return items_;
}

void Gphoto2Device::requestDownloadFile(const std::shared_ptr<CameraFile>& file,
                                        const DownloadOptions& options,
                                        CameraDeviceDownloadDelegate* downloadDelegate,
                                        void* contextInfo) {
  auto own = std::dynamic_pointer_cast<Gphoto2File>(file);
  if (!own) {
    postDownloaded(mainQueue_, downloadDelegate, file,
                   DeviceError{"This file does not belong to the device."}, options, contextInfo);
    return;
  }
  worker_->submit(
      [this, own, options, downloadDelegate, contextInfo] {
        postDownloaded(mainQueue_, downloadDelegate, own, download(*own, options), options,
                       contextInfo);
      },
      [this, own, options, downloadDelegate, contextInfo] {
        postDownloaded(mainQueue_, downloadDelegate, own,
                       DeviceError{"The device was closed before " + own->fileName() +
                                   " could be copied."},
                       options, contextInfo);
      });
}

void Gphoto2Device::postOpened(std::optional<DeviceError> error) {
  mainQueue_.post([weak = weak_from_this(), error = std::move(error)] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->deviceDidOpenSessionWithError(*self, error);
  });
}

void Gphoto2Device::postReady() {
  mainQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) {
      self->cameraDelegate_->deviceDidBecomeReadyWithCompleteContentCatalog(*self);
    }
  });
}

void Gphoto2Device::postAdded(std::vector<std::shared_ptr<CameraItem>> items) {
  lastAddition_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count());
  mainQueue_.post([weak = weak_from_this(), items = std::move(items)] {
    auto self = weak.lock();
    if (self && self->cameraDelegate_) self->cameraDelegate_->cameraDeviceDidAddItems(*self, items);
  });
}

}  // namespace picferry
