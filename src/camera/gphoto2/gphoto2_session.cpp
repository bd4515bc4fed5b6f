// Opening a session: initialise the camera and find a usable storage.

#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {
namespace {

constexpr char kUnlockAndTrust[] =
    "If it is an iPhone, unlock it and tap Trust on its screen when it asks whether to trust "
    "this computer.";

DeviceError refusal(const DeviceError& cause) {
  return {cause.description + " " + kUnlockAndTrust};
}

}  // namespace

void Gphoto2Device::openSession() {
  if (camera_) {  // Already open: the session stands.
    postOpened(std::nullopt);
    return;
  }
  DeviceError error;
  auto camera = Gphoto2Camera::open(*drivers_, detected_.model, detected_.port, context_, &error);
  if (!camera) {
    postOpened(refusal(error));
    return;
  }
  std::vector<std::string> roots;
  if (auto failed = camera->storageRoots(&roots)) {
    camera.reset();  // Closed, so that the next request starts afresh.
    postOpened(refusal(*failed));
    return;
  }
  if (roots.empty()) {
    camera.reset();
    postOpened(DeviceError{
        "The device shows no photos yet: it is locked or does not trust this computer. "
        "Unlock the iPhone and tap Trust on its screen, then keep it unlocked."});
    return;
  }
  if (auto model = camera->reportedModel()) setName(*model);
  camera_ = std::move(camera);
  postOpened(std::nullopt);
  listStorages(roots);
}

}  // namespace picferry
