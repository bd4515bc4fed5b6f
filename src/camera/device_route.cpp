#include "camera/device_route.h"

#include "camera/usb_sysfs.h"

namespace picferry {

bool isReachedThroughUsbmuxd(std::optional<unsigned> usbVendor,
                             const std::function<bool()>& usbmuxdAnswers) {
  return usbVendor == kAppleUsbVendor && usbmuxdAnswers();
}

}  // namespace picferry
