#pragma once

#include <optional>
#include <string>

namespace picferry {

// USB vendor ids of note.
constexpr unsigned kAppleUsbVendor = 0x05ac;

// What the kernel tells of an attached USB device in sysfs, read without
// opening or claiming it.
struct UsbDeviceEntry {
  std::string port;  // its folder's name: bus and port chain, such as "1-1.4"
  std::optional<unsigned> vendor;
  // The serial number string of its device descriptor, when it has one.
  std::optional<std::string> serial;
};

constexpr char kUsbDevicesFolder[] = "/sys/bus/usb/devices";

// The device on `port`, a libgphoto2 port path "usb:BBB,DDD" (bus and device
// numbers), as listed under `devicesFolder`. Absent for any other port, or
// when no such device is attached.
std::optional<UsbDeviceEntry> usbDeviceOnPort(const std::string& port,
                                              const std::string& devicesFolder = kUsbDevicesFolder);

// The device's stable id: its serial number, else "usb:" and its port. An
// Apple serial of 24 characters is an iPhone's UDID without its hyphen:
// usbmuxd puts the hyphen back after the eighth (its usb.c), and so does
// this, so that an iPhone has one id on every route.
std::string usbDeviceId(const UsbDeviceEntry& device);

}  // namespace picferry
