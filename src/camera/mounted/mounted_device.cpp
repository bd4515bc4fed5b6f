#include "camera/mounted/mounted_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths.h"

namespace picferry {
namespace {

std::optional<std::string> lastComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path.substr(path.rfind('/') + 1);
}

DeviceError errnoError(const std::string& what, const std::string& path, int err) {
  return {what + " " + path + ": " + std::strerror(err)};
}

}  // namespace

std::optional<std::string> dcimFolderOf(const std::string& mountPoint) {
  for (const char* name : {"DCIM", "dcim"}) {
    const std::string path = joinPath(mountPoint, name);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
  }
  return std::nullopt;
}

std::optional<DeviceError> listMountedFolder(const std::string& mountPoint,
                                             const std::string& folder, FolderContents* out) {
  // The folder's path below the mount point: "" at its root.
  const std::string below = mountPoint == "/" ? folder : folder.substr(mountPoint.size());
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errnoError("Couldn't open the folder", folder, errno);
  DIR* dir = fdopendir(fd);
  if (!dir) {
    const int err = errno;
    close(fd);
    return errnoError("Couldn't open the folder", folder, err);
  }
  std::optional<DeviceError> failure;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) failure = errnoError("Couldn't read the folder", folder, errno);
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // Gone since the folder was read.
      failure = errnoError("Couldn't look at", joinPath(folder, name), errno);
      break;
    }
    if (S_ISREG(st.st_mode)) {
      out->files.push_back(std::make_shared<MountedFile>(
          joinPath(folder, name), joinPath(below, name), name, st.st_size, st.st_mtime));
    } else if (S_ISDIR(st.st_mode)) {
      out->folders.push_back(name);
    }
  }
  closedir(dir);
  return failure;
}

MountedDevice::MountedDevice(MainQueue& mainQueue, std::string mountPoint, std::string id)
    : ThreadedCameraDevice(mainQueue, std::move(id), DeviceRoute::mounted,
                           lastComponent(mountPoint)),
      mountPoint_(std::move(mountPoint)) {}

MountedDevice::~MountedDevice() { stopWorker(); }

void MountedDevice::openSession() {
  if (opened_) {  // Already open: the session stands.
    postOpened(std::nullopt);
    return;
  }
  const auto dcim = dcimFolderOf(mountPoint_);
  if (!dcim) {
    postOpened(DeviceError{"The card at " + mountPoint_ + " has no DCIM folder any more."});
    return;
  }
  opened_ = true;
  postOpened(std::nullopt);
  listCatalogue({*dcim}, [this](const std::string& folder, FolderContents* out) {
    return listMountedFolder(mountPoint_, folder, out);
  });
}

}  // namespace picferry
