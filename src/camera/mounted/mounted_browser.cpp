#include "camera/mounted/mounted_browser.h"

#include <mntent.h>

#include <algorithm>

#include "camera/device_id.h"
#include "camera/mounted/file_system_uuid.h"
#include "camera/mounted/mounted_device.h"
#include "camera/polling_browser.h"

namespace picferry {
namespace {

constexpr std::chrono::seconds kPollInterval{1};

class MountedBrowser final : public PollingBrowser {
 public:
  MountedBrowser(MainQueue& mainQueue, DeviceFilter filter)
      : PollingBrowser(mainQueue, kPollInterval, std::move(filter)) {}
  ~MountedBrowser() override { stopPolling(); }

 private:
  void poll() override {
    std::vector<Candidate> present;
    if (browsesLocalCameras()) {
      for (const Mount& mount : mounts()) {
        if (!dcimFolderOf(mount.point)) continue;
        // Another file system mounted at the same place is another device.
        present.emplace_back(
            mount.point + '\n' + mount.source,
            [this, mount]() -> std::shared_ptr<QueuedCameraDevice> {
              std::string id =
                  printableDeviceId(fileSystemUuid(mount.source).value_or(mount.point));
              if (!wanted(id)) return nullptr;
              return std::make_shared<MountedDevice>(mainQueue(), mount.point, std::move(id));
            });
      }
    }
    reconcile(present);
    postFirstLookDone();
  }

  struct Mount {
    std::string point;
    std::string source;  // what is mounted there, such as "/dev/sdb1"
  };

  // Each mount point once, with what was last mounted there (which hides
  // the rest), in the order of the mount table.
  static std::vector<Mount> mounts() {
    std::vector<Mount> found;
    FILE* table = setmntent("/proc/self/mounts", "re");
    if (!table) return found;
    mntent entry {};
    char buffer[4096];
    while (getmntent_r(table, &entry, buffer, sizeof buffer)) {
      const std::string point = entry.mnt_dir;
      const auto same = std::find_if(found.begin(), found.end(),
                                     [&](const Mount& mount) { return mount.point == point; });
      if (same == found.end()) {
        found.push_back({point, entry.mnt_fsname});
      } else {
        same->source = entry.mnt_fsname;
      }
    }
    endmntent(table);
    return found;
  }
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeMountedBrowser(MainQueue& mainQueue, DeviceFilter filter) {
  return std::make_unique<MountedBrowser>(mainQueue, std::move(filter));
}

}  // namespace picferry
