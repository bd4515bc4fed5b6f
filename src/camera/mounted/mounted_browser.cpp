#include "camera/mounted/mounted_browser.h"

#include <mntent.h>

#include <algorithm>

#include "camera/mounted/mounted_device.h"
#include "camera/polling_browser.h"

namespace picferry {
namespace {

constexpr std::chrono::seconds kPollInterval{1};

class MountedBrowser final : public PollingBrowser {
 public:
  explicit MountedBrowser(MainQueue& mainQueue) : PollingBrowser(mainQueue, kPollInterval) {}
  ~MountedBrowser() override { stopPolling(); }

 private:
  void poll() override {
    std::vector<Candidate> present;
    if (browsesLocalCameras()) {
      for (const std::string& mountPoint : mountPoints()) {
        if (!dcimFolderOf(mountPoint)) continue;
        present.emplace_back(mountPoint, [this, mountPoint] {
          return std::make_shared<MountedDevice>(mainQueue(), mountPoint);
        });
      }
    }
    reconcile(present);
  }

  // Each mount point once, in the order of the mount table.
  static std::vector<std::string> mountPoints() {
    std::vector<std::string> points;
    FILE* table = setmntent("/proc/self/mounts", "re");
    if (!table) return points;
    mntent entry {};
    char buffer[4096];
    while (getmntent_r(table, &entry, buffer, sizeof buffer)) {
      std::string point = entry.mnt_dir;
      if (std::find(points.begin(), points.end(), point) == points.end()) {
        points.push_back(std::move(point));
      }
    }
    endmntent(table);
    return points;
  }
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeMountedBrowser(MainQueue& mainQueue) {
  return std::make_unique<MountedBrowser>(mainQueue);
}

}  // namespace picferry
