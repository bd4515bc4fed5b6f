#include "camera/usb_vendor.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>

namespace picferry {
namespace {

std::optional<unsigned> readNumber(const std::string& path, int base) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return std::nullopt;
  try {
    return static_cast<unsigned>(std::stoul(text, nullptr, base));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<unsigned> usbVendorOfPort(const std::string& port) {
  unsigned bus = 0;
  unsigned device = 0;
  char end = 0;
  if (std::sscanf(port.c_str(), "usb:%u,%u%c", &bus, &device, &end) != 2) return std::nullopt;
  const std::string root = "/sys/bus/usb/devices/";
  DIR* dir = opendir(root.c_str());
  if (!dir) return std::nullopt;
  std::optional<unsigned> vendor;
  while (dirent* entry = readdir(dir)) {
    std::string path = root + entry->d_name + "/";
    if (readNumber(path + "busnum", 10) == bus && readNumber(path + "devnum", 10) == device) {
      vendor = readNumber(path + "idVendor", 16);
      break;
    }
  }
  closedir(dir);
  return vendor;
}

}  // namespace picferry
