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

}  // namespace

Gphoto2Device::Gphoto2Device(MainQueue& mainQueue, std::shared_ptr<Gphoto2Drivers> drivers,
                             DetectedCamera detected)
    : QueuedCameraDevice(mainQueue, initialName(detected)),
      drivers_(std::move(drivers)),
      detected_(std::move(detected)),
      worker_(std::make_unique<WorkerThread>()) {}

Gphoto2Device::~Gphoto2Device() {
  context_.cancelAll();
  worker_.reset();  // Runs the abandon handlers of pending requests.
  camera_.reset();
}

void Gphoto2Device::requestOpenSession() {
  worker_->submit([this] { openSession(); });
}

void Gphoto2Device::requestDownloadFile(const std::shared_ptr<CameraFile>& file,
                                        const DownloadOptions& options,
                                        CameraDeviceDownloadDelegate* downloadDelegate,
                                        void* contextInfo) {
  submitOwnDownload<Gphoto2File>(*worker_, file, options, downloadDelegate, contextInfo,
                        [this](const Gphoto2File& own, const DownloadOptions& ownOptions) {
                          return download(own, ownOptions);
                        });
}

}  // namespace picferry
