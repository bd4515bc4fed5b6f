#include "importer/importer.h"

namespace picferry {

void Importer::deviceBrowserDidAddDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                         bool) {
  if (camera) return;
  auto found = std::dynamic_pointer_cast<CameraDevice>(device);
  if (!found) return;
  camera = std::move(found);
  cameraTaken_.store(true);
  camera->setDelegate(this);
  camera->setCameraDelegate(this);
  tryOpenSession();
}

// Unplugging is not acted on: the run keeps its camera and the watchdog or
// the download outcomes decide how it ends.
void Importer::deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>&, bool) {}

void Importer::tryOpenSession() {
  if (ready) return;
  ++openAttempts;
  if (camera) camera->requestOpenSession();
}

void Importer::deviceDidOpenSessionWithError(Device&, const std::optional<DeviceError>& error) {
  if (!error || ready) return;
  if (openAttempts >= maxOpenAttempts) {
    events_.emitError("locked_or_untrusted", error->description);
    platform_.process.exit(1);
  }
  platform_.mainQueue.postAfter(openRetrySeconds, [weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->tryOpenSession();
  });
}

void Importer::deviceDidCloseSessionWithError(Device&, const std::optional<DeviceError>&) {}

void Importer::didRemoveDevice(Device&) {}

}  // namespace picferry
