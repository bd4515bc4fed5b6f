#include "camera/usb_sysfs.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>

#include "camera/device_id.h"

namespace picferry {
namespace {

std::optional<std::string> readLine(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  return text;
}

std::optional<unsigned> readNumber(const std::string& path, int base) {
  const auto text = readLine(path);
  if (!text) return std::nullopt;
  try {
    return static_cast<unsigned>(std::stoul(*text, nullptr, base));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<UsbDeviceEntry> usbDeviceOnPort(const std::string& port,
                                              const std::string& devicesFolder) {
  unsigned bus = 0;
  unsigned device = 0;
  char end = 0;
  if (std::sscanf(port.c_str(), "usb:%u,%u%c", &bus, &device, &end) != 2) return std::nullopt;
  DIR* dir = opendir(devicesFolder.c_str());
  if (!dir) return std::nullopt;
  std::optional<UsbDeviceEntry> found;
  while (dirent* entry = readdir(dir)) {
    const std::string path = devicesFolder + "/" + entry->d_name + "/";
    if (readNumber(path + "busnum", 10) == bus && readNumber(path + "devnum", 10) == device) {
      found = UsbDeviceEntry{entry->d_name, readNumber(path + "idVendor", 16),
                             readLine(path + "serial")};
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string usbDeviceId(const UsbDeviceEntry& device) {
  if (!device.serial || device.serial->empty()) return printableDeviceId("usb:" + device.port);
  std::string serial = *device.serial;
  if (device.vendor == kAppleUsbVendor && serial.size() == 24) serial.insert(8, "-");
  return printableDeviceId(serial);
}

}  // namespace picferry
