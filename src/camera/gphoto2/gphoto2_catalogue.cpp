// The catalogue: every storage's DCIM folder (or the storage itself when it
// has none), walked folder by folder.

#include <strings.h>

#include <algorithm>
#include <map>

#include "camera/gphoto2/gphoto2_device.h"
#include "platform/paths.h"

namespace picferry {

void Gphoto2Device::listStorages(const std::vector<std::string>& roots) {
  std::vector<std::string> tops;
  for (const std::string& root : roots) {
    std::vector<std::string> folders;
    if (camera_->listFolders(root, &folders)) {
      tops.push_back(root);  // Listed again, with retries, by the walk.
      continue;
    }
    auto dcim = std::find_if(folders.begin(), folders.end(), [](const std::string& name) {
      return strcasecmp(name.c_str(), "DCIM") == 0;
    });
    tops.push_back(dcim == folders.end() ? root : joinPath(root, *dcim));
  }
  listCatalogue(tops, [this](const std::string& folder, FolderContents* out) {
    return listFolder(folder, out);
  });
}

std::optional<DeviceError> Gphoto2Device::listFolder(const std::string& folder,
                                                     FolderContents* out) {
  std::vector<std::string> names;
  std::vector<std::string> leftOut;
  if (auto failed = camera_->listFiles(folder, &names, &leftOut)) return failed;
  for (std::string& name : names) {
    CameraFileStat stat = camera_->stat(folder, name);
    out->files.push_back(
        std::make_shared<Gphoto2File>(folder, std::move(name), stat.size, stat.mtime));
  }
  // Listed, so that they are counted and end unavailable rather than unseen.
  std::map<std::string, int> others;
  for (const std::string& name : leftOut) {
    out->files.push_back(
        std::make_shared<Gphoto2File>(folder, name, -1, std::nullopt, ++others[name]));
  }
  return camera_->listFolders(folder, &out->folders);
}

}  // namespace picferry
