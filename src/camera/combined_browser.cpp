#include "camera/combined_browser.h"

#include "camera/gphoto2/gphoto2_browser.h"
#include "camera/imobiledevice/usbmuxd_browser.h"
#include "camera/imobiledevice/usbmuxd_presence.h"
#include "camera/usb_vendor.h"

namespace picferry {
namespace {

class CombinedBrowser final : public DeviceBrowser, private DeviceBrowserDelegate {
 public:
  explicit CombinedBrowser(MainQueue& mainQueue)
      : presence_(std::make_shared<UsbmuxdPresence>()),
        usbmuxd_(makeUsbmuxdBrowser(mainQueue, presence_)),
        gphoto2_(makeGphoto2Browser(mainQueue, [presence = presence_](const std::string& port) {
          // The vendor is read first: usbmuxd is asked about Apple devices only.
          return usbVendorOfPort(port) == kAppleUsbVendor && presence->answers();
        })) {
    usbmuxd_->setDelegate(this);
    gphoto2_->setDelegate(this);
  }

  void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override {
    usbmuxd_->setBrowsedDeviceTypeMask(mask);
    gphoto2_->setBrowsedDeviceTypeMask(mask);
  }
  // usbmuxd first, so its first probe is under way when libgphoto2 asks.
  void start() override {
    usbmuxd_->start();
    gphoto2_->start();
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

  DeviceBrowserDelegate* delegate_ = nullptr;  // main thread only
  const std::shared_ptr<UsbmuxdPresence> presence_;
  // Destroyed before presence_, which their threads use.
  const std::unique_ptr<DeviceBrowser> usbmuxd_;
  const std::unique_ptr<DeviceBrowser> gphoto2_;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeCombinedBrowser(MainQueue& mainQueue) {
  return std::make_unique<CombinedBrowser>(mainQueue);
}

}  // namespace picferry
