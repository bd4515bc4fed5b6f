// One folder of the catalogue: its regular files and folders, as AFC lists
// and describes them.

#include "camera/imobiledevice/afc_device.h"
#include "platform/paths.h"

namespace picferry {

std::optional<DeviceError> AfcDevice::listFolder(const std::string& folder, FolderContents* out) {
  std::vector<std::string> names;
  if (auto failed = session_->listDirectory(folder, &names)) return failed;
  for (std::string& name : names) {
    std::string path = joinPath(folder, name);
    auto stat = session_->stat(path);
    noteCatalogueProgress();
    if (session_->connectionLost()) return DeviceError{"The iPhone was disconnected."};
    if (!stat) continue;  // Gone since the folder was listed.
    if (stat->isRegularFile) {
      out->files.push_back(
          std::make_shared<AfcFile>(std::move(path), std::move(name), stat->size, stat->mtime));
    } else if (stat->isDirectory) {
      out->folders.push_back(std::move(name));
    }
  }
  return std::nullopt;
}

}  // namespace picferry
