#include "camera/device_route.h"

#include "camera/usb_vendor.h"

namespace picferry {

bool isReachedThroughUsbmuxd(std::optional<unsigned> usbVendor,
                             const std::function<bool()>& usbmuxdAnswers) {
  return usbVendor == kAppleUsbVendor && usbmuxdAnswers();
}

}  // namespace picferry
