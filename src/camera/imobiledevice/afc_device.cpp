#include "camera/imobiledevice/afc_device.h"

namespace picferry {

AfcDevice::AfcDevice(MainQueue& mainQueue, std::string udid)
    : QueuedCameraDevice(mainQueue, std::nullopt),
      udid_(std::move(udid)),
      worker_(std::make_unique<WorkerThread>()) {}

AfcDevice::~AfcDevice() {
  worker_.reset();  // Runs the abandon handlers of pending requests.
  session_.reset();
}

void AfcDevice::requestOpenSession() {
  worker_->submit([this] { openSession(); });
}

void AfcDevice::openSession() {
  if (session_ && !session_->connectionLost()) {  // Already open: the session stands.
    postOpened(std::nullopt);
    return;
  }
  session_.reset();
  std::optional<std::string> name;
  DeviceError error;
  auto session = AfcSession::open(udid_, &name, &error);
  if (name) setName(name);
  if (!session) {
    postOpened(error);
    return;
  }
  session_ = std::move(session);
  postOpened(std::nullopt);
  listCatalogue();
}

void AfcDevice::requestDownloadFile(const std::shared_ptr<CameraFile>& file,
                                    const DownloadOptions& options,
                                    CameraDeviceDownloadDelegate* downloadDelegate,
                                    void* contextInfo) {
  submitOwnDownload<AfcFile>(*worker_, file, options, downloadDelegate, contextInfo,
                        [this](const AfcFile& own, const DownloadOptions& ownOptions) {
                          return download(own, ownOptions);
                        });
}

}  // namespace picferry
