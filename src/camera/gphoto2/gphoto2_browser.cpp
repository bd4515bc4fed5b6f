#include "camera/gphoto2/gphoto2_browser.h"

#include <algorithm>

#include "camera/device_id.h"
#include "camera/gphoto2/gphoto2_device.h"
#include "camera/gphoto2/gphoto2_drivers.h"
#include "camera/polling_browser.h"
#include "camera/usb_sysfs.h"

namespace picferry {
namespace {

constexpr std::chrono::seconds kPollInterval{1};

// Reports each (model, port) libgphoto2 detects the first time it is seen,
// and its disappearance.
class Gphoto2Browser final : public PollingBrowser {
 public:
  Gphoto2Browser(MainQueue& mainQueue, DeviceFilter filter,
                 std::function<bool(const std::string&)> skipPort)
      : PollingBrowser(mainQueue, kPollInterval, std::move(filter)),
        skipPort_(std::move(skipPort)) {}
  ~Gphoto2Browser() override { stopPolling(); }

 private:
  void poll() override {
    if (!drivers_) drivers_ = Gphoto2Drivers::load();
    std::vector<DetectedCamera> found;
    if (browsesLocalCameras()) found = drivers_->detect();
    if (skipPort_) {
      std::erase_if(found, [this](const DetectedCamera& camera) { return skipPort_(camera.port); });
    }
    std::vector<Candidate> present;
    for (const DetectedCamera& camera : found) {
      present.emplace_back(camera.model + '\n' + camera.port,
                           [this, camera]() -> std::shared_ptr<QueuedCameraDevice> {
                             std::string id = idOf(camera);
                             if (!wanted(id)) return nullptr;
                             return std::make_shared<Gphoto2Device>(mainQueue(), drivers_, camera,
                                                                    std::move(id));
                           });
    }
    reconcile(present);
    postFirstLookDone();
  }

  // Read from sysfs: a device gone since detection keeps its port as id.
  static std::string idOf(const DetectedCamera& camera) {
    const auto device = usbDeviceOnPort(camera.port);
    return device ? usbDeviceId(*device) : printableDeviceId(camera.port);
  }

  const std::function<bool(const std::string&)> skipPort_;
  std::shared_ptr<Gphoto2Drivers> drivers_;  // polling thread only
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeGphoto2Browser(
    MainQueue& mainQueue, DeviceFilter filter,
    std::function<bool(const std::string& port)> skipPort) {
  return std::make_unique<Gphoto2Browser>(mainQueue, std::move(filter), std::move(skipPort));
}

}  // namespace picferry
