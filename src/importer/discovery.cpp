#include <algorithm>

#include "importer/importer.h"

namespace picferry {
namespace {

// The fixed order of choice: iPhones through usbmuxd, then other USB devices,
// then mounted storage; within a route, by id.
bool precedes(const std::shared_ptr<CameraDevice>& a, const std::shared_ptr<CameraDevice>& b) {
  if (a->route() != b->route()) return a->route() < b->route();
  return a->id() < b->id();
}

}  // namespace

// With --device only that device is ever taken, as soon as it is reported.
// Without, the choice waits for the browser's first look, so that it never
// depends on which route answers first; a device reported after it is taken
// when it comes.
void Importer::deviceBrowserDidAddDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                         bool) {
  if (camera) return;
  if (mode.deviceId && device->id() != *mode.deviceId) return;
  auto found = std::dynamic_pointer_cast<CameraDevice>(device);
  if (!found) return;
  if (mode.kind == Mode::Kind::devices || (!enumerated && !mode.deviceId)) {
    attached.push_back(std::move(found));
    return;
  }
  takeCamera(std::move(found));
}

// Unplugging the camera is not acted on: the run keeps it and the watchdog or
// the download outcomes decide how it ends.
void Importer::deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                            bool) {
  std::erase_if(attached, [&](const auto& candidate) { return candidate == device; });
}

void Importer::deviceBrowserDidEnumerateLocalDevices(DeviceBrowser&) { finishEnumeration(); }

// At the end of the browser's first look, or maxEnumerationSeconds after the
// start, whichever comes first.
void Importer::finishEnumeration() {
  if (enumerated) return;
  enumerated = true;
  enumerationTimer->cancel();
  std::stable_sort(attached.begin(), attached.end(), precedes);
  if (mode.kind == Mode::Kind::devices) {
    for (const auto& device : attached) {
      events_.emit({{"type", std::string("device")},
                    {"id", device->id()},
                    {"name", device->name().value_or("iPhone")},
                    {"route", std::string(routeName(device->route()))}});
    }
    platform_.process.exit(0);
  }
  if (!camera && !attached.empty()) takeCamera(attached.front());
  attached.clear();
}

void Importer::takeCamera(std::shared_ptr<CameraDevice> device) {
  camera = std::move(device);
  cameraTaken_.store(true);
  camera->setDelegate(this);
  camera->setCameraDelegate(this);
  tryOpenSession();
}

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
