// The catalogue: every storage walked folder by folder, each folder's files
// posted as it is listed, with a heartbeat while libgphoto2 is busy.

#include <strings.h>

#include <algorithm>

#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {
namespace {

std::string joinFolder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

void Gphoto2Device::listCatalogue(const std::vector<std::string>& roots) {
  // One libgphoto2 call may block for many seconds (a 100,000-file folder
  // takes ~24 s): the heartbeat keeps the catalogue visibly alive.
  auto heartbeat = beginCatalogue();
  for (const std::string& root : roots) {
    std::vector<std::string> top;
    camera_->listFolders(root, &top);
    auto dcim = std::find_if(top.begin(), top.end(), [](const std::string& name) {
      return strcasecmp(name.c_str(), "DCIM") == 0;
    });
    listFolderTree(dcim == top.end() ? root : joinFolder(root, *dcim));
  }
}

// Depth first, each folder's files before its sub-folders, names in byte
// order, so the catalogue's order does not depend on the file system's.
void Gphoto2Device::listFolderTree(const std::string& top) {
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();

    std::vector<std::string> names;
    if (!camera_->listFiles(folder, &names)) {
      std::sort(names.begin(), names.end());
      std::vector<std::shared_ptr<CameraItem>> files;
      files.reserve(names.size());
      for (std::string& name : names) {
        CameraFileStat stat = camera_->stat(folder, name);
        files.push_back(std::make_shared<Gphoto2File>(folder, std::move(name), stat.size));
      }
      addToCatalogue(std::move(files));
    }

    std::vector<std::string> subfolders;
    camera_->listFolders(folder, &subfolders);
    std::sort(subfolders.begin(), subfolders.end());
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
      pending.push_back(joinFolder(folder, *it));
    }
  }
}

}  // namespace picferry
