#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {

// Before a session, the driver's model name is the most specific one known.
Gphoto2Device::Gphoto2Device(MainQueue& mainQueue, std::shared_ptr<Gphoto2Drivers> drivers,
                             DetectedCamera detected, std::string id)
    : ThreadedCameraDevice(mainQueue, std::move(id), DeviceRoute::usb, detected.model),
      drivers_(std::move(drivers)),
      detected_(std::move(detected)) {}

Gphoto2Device::~Gphoto2Device() {
  context_.cancelAll();
  stopWorker();
  camera_.reset();
}

}  // namespace picferry
