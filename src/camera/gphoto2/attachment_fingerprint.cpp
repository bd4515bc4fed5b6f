#include "camera/gphoto2/attachment_fingerprint.h"

#include <dirent.h>

namespace picferry {
namespace {

void appendNames(const std::string& dir, std::string& out, int depth) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    out += dir + "/" + name + "\n";
    if (depth > 1) appendNames(dir + "/" + name, out, depth - 1);
  }
  closedir(d);
}

}  // namespace

std::string attachmentFingerprint() {
  std::string out;
  appendNames("/sys/bus/usb/devices", out, 1);  // devices and their interfaces
  appendNames("/dev/bus/usb", out, 2);          // a re-plugged device gets a new number
  return out;
}

}  // namespace picferry
