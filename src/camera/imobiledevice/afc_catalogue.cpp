// The catalogue: every regular file under /DCIM, folder by folder, each
// folder's files posted as it is listed.

#include <algorithm>

#include "camera/imobiledevice/afc_device.h"

namespace picferry {

// Depth first, each folder's files before its sub-folders, names in byte
// order, so the catalogue's order does not depend on the phone's.
void AfcDevice::listCatalogue() {
  auto heartbeat = beginCatalogue();
  std::vector<std::string> pending{"/DCIM"};
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    std::vector<std::string> names = session_->listDirectory(folder);
    std::sort(names.begin(), names.end());
    std::vector<std::shared_ptr<CameraItem>> files;
    std::vector<std::string> subfolders;
    for (std::string& name : names) {
      std::string path = folder + "/" + name;
      auto stat = session_->stat(path);
      if (!stat) continue;
      if (stat->isRegularFile) {
        files.push_back(
            std::make_shared<AfcFile>(std::move(path), std::move(name), stat->size, stat->mtime));
      } else if (stat->isDirectory) {
        subfolders.push_back(std::move(path));
      }
    }
    addToCatalogue(std::move(files));
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
}

}  // namespace picferry
