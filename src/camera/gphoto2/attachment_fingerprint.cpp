#include "camera/gphoto2/attachment_fingerprint.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

void appendFile(const char* path, std::string& out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[8192];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  close(fd);
}

}  // namespace

std::string attachmentFingerprint() {
  std::string out;
  appendNames("/sys/bus/usb/devices", out, 1);  // devices and their interfaces
  appendNames("/dev/bus/usb", out, 2);          // a re-plugged device gets a new number
  appendFile("/proc/self/mountinfo", out);
  return out;
}

}  // namespace picferry
