// Runs the program's device browser alone, on the real platform, for a number
// of minutes, and prints its resident memory once a minute as JSON lines:
// what a session with standard input open and no phone keeps doing.
// Usage: soak_browser MINUTES

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "camera/combined_browser.h"
#include "platform/real_platform.h"

namespace {

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class CountingDelegate : public picferry::DeviceBrowserDelegate {
 public:
  void deviceBrowserDidAddDevice(picferry::DeviceBrowser&,
                                 const std::shared_ptr<picferry::Device>&, bool) override {
    ++added;
  }
  void deviceBrowserDidRemoveDevice(picferry::DeviceBrowser&,
                                    const std::shared_ptr<picferry::Device>&, bool) override {}
  void deviceBrowserDidEnumerateLocalDevices(picferry::DeviceBrowser&) override {}
  int added = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int minutes = argc > 1 ? std::stoi(argv[1]) : 30;
  picferry::RealPlatform platform;
  CountingDelegate delegate;
  auto browser = picferry::makeCombinedBrowser(platform.mainQueue());
  browser->setDelegate(&delegate);
  browser->setBrowsedDeviceTypeMask(picferry::kDeviceTypeCamera | picferry::kDeviceLocationLocal);
  browser->start();
  for (int minute = 0; minute <= minutes; ++minute) {
    std::printf("{\"minute\":%d,\"rssKiB\":%ld,\"devices\":%d}\n", minute, residentKiB(),
                delegate.added);
    std::fflush(stdout);
    if (minute < minutes) platform.runUntil([] { return false; }, std::chrono::minutes(1));
  }
  _exit(0);
}
