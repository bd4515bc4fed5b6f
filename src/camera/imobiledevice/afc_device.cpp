#include "camera/imobiledevice/afc_device.h"

#include "camera/device_id.h"

namespace picferry {

AfcDevice::AfcDevice(MainQueue& mainQueue, std::string udid, std::optional<std::string> name)
    : ThreadedCameraDevice(mainQueue, printableDeviceId(udid), DeviceRoute::usbmuxd,
                           std::move(name)),
      udid_(std::move(udid)) {}

AfcDevice::~AfcDevice() {
  stopWorker();
  session_.reset();
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
  listCatalogue(
      {"/DCIM"},
      [this](const std::string& folder, FolderContents* out) { return listFolder(folder, out); },
      kListingStallLimit);
}

}  // namespace picferry
