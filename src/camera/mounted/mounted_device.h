#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "camera/mounted/mounted_file.h"
#include "camera/queued_camera_device.h"
#include "platform/main_queue.h"

namespace picferry {

// A memory card or other mounted file system with a DCIM folder at its root,
// read directly: every regular file under DCIM whose name does not begin
// with "." is a media file, whatever its extension. Named after the folder
// it is mounted on. All file-system calls run on its worker thread.
class MountedDevice final : public ThreadedCameraDevice<MountedFile> {
 public:
  MountedDevice(MainQueue& mainQueue, std::string mountPoint, std::string id);
  ~MountedDevice() override;

 private:
  // On the worker (mounted_device.cpp, mounted_download.cpp).
  void openSession() override;
  std::optional<DeviceError> copyInto(const MountedFile& file, DurableFile& out,
                                      const std::atomic<bool>& abandoned) override;
  ThumbnailSource thumbnailSourceOf(const MountedFile& file) override;  // mounted_thumbnail.cpp

  const std::string mountPoint_;
  bool opened_ = false;  // worker only
};

// The DCIM folder at the root of `mountPoint` ("DCIM" or "dcim"), if any.
std::optional<std::string> dcimFolderOf(const std::string& mountPoint);

// Lists one folder below `mountPoint`: its regular files and its folders
// (links are not followed).
std::optional<DeviceError> listMountedFolder(const std::string& mountPoint,
                                             const std::string& folder, FolderContents* out);

}  // namespace picferry
