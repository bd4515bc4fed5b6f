#include "camera/combined_browser.h"

#include <array>

#include "camera/device_route.h"
#include "camera/gphoto2/gphoto2_browser.h"
#include "camera/imobiledevice/usbmuxd_browser.h"
#include "camera/imobiledevice/usbmuxd_presence.h"
#include "camera/mounted/mounted_browser.h"
#include "camera/usb_sysfs.h"

namespace picferry {
namespace {

class CombinedBrowser final : public DeviceBrowser, private DeviceBrowserDelegate {
 public:
  CombinedBrowser(MainQueue& mainQueue, const DeviceFilter& filter)
      : presence_(std::make_shared<UsbmuxdPresence>()),
        usbmuxd_(makeUsbmuxdBrowser(mainQueue, presence_, filter)),
        gphoto2_(makeGphoto2Browser(mainQueue, filter,
                                    [presence = presence_](const std::string& port) {
                                      const auto device = usbDeviceOnPort(port);
                                      return isReachedThroughUsbmuxd(
                                          device ? device->vendor : std::nullopt,
                                          [&presence] { return presence->answers(); });
                                    })),
        mounted_(makeMountedBrowser(mainQueue, filter)) {
    for (DeviceBrowser* browser : browsers()) browser->setDelegate(this);
  }

  void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override {
    for (DeviceBrowser* browser : browsers()) browser->setBrowsedDeviceTypeMask(mask);
  }
  // usbmuxd first, so its first probe is under way when libgphoto2 asks.
  void start() override {
    for (DeviceBrowser* browser : browsers()) browser->start();
  }

 private:
  void deviceBrowserDidAddDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                 bool moreComing) override {
    if (delegate_) delegate_->deviceBrowserDidAddDevice(*this, device, moreComing);
  }
  void deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                    bool moreGoing) override {
    if (delegate_) delegate_->deviceBrowserDidRemoveDevice(*this, device, moreGoing);
  }
  // Told once, when the last of the three has had its first look.
  void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser&) override {
    if (++enumerated_ == browsers().size() && delegate_) {
      delegate_->deviceBrowserDidEnumerateLocalDevices(*this);
    }
  }

  std::array<DeviceBrowser*, 3> browsers() const {
    return {usbmuxd_.get(), gphoto2_.get(), mounted_.get()};
  }

  DeviceBrowserDelegate* delegate_ = nullptr;  // main thread only
  std::size_t enumerated_ = 0;                 // main thread only
  const std::shared_ptr<UsbmuxdPresence> presence_;
  // Destroyed before presence_, which their threads use.
  const std::unique_ptr<DeviceBrowser> usbmuxd_;
  const std::unique_ptr<DeviceBrowser> gphoto2_;
  const std::unique_ptr<DeviceBrowser> mounted_;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeCombinedBrowser(MainQueue& mainQueue, DeviceFilter filter) {
  return std::make_unique<CombinedBrowser>(mainQueue, filter);
}

}  // namespace picferry
