#pragma once

#include <optional>
#include <string>

namespace picferry {

// USB vendor ids of note.
constexpr unsigned kAppleUsbVendor = 0x05ac;

// The vendor id of the USB device on `port`, a libgphoto2 port path
// "usb:BBB,DDD" (bus and device numbers), read from sysfs. Absent for any
// other port, or when no such device is attached.
std::optional<unsigned> usbVendorOfPort(const std::string& port);

}  // namespace picferry
