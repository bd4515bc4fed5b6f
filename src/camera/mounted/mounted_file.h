#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "camera/camera.h"

namespace picferry {

// A regular file under DCIM on a mounted file system, as it was listed. Immutable.
class MountedFile final : public CameraFile {
 public:
  // `devicePath`: its path below the mount point.
  MountedFile(std::string path, std::string devicePath, std::string name, std::int64_t size,
              std::int64_t mtime)
      : path_(std::move(path)),
        devicePath_(std::move(devicePath)),
        name_(std::move(name)),
        size_(size),
        mtime_(mtime) {}

  std::optional<std::string> name() const override { return name_; }
  std::int64_t fileSize() const override { return size_; }
  std::optional<std::int64_t> modificationDate() const override { return mtime_; }
  std::string devicePath() const override { return devicePath_; }

  // Absolute path on this computer.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string devicePath_;
  std::string name_;
  std::int64_t size_;
  std::int64_t mtime_;
};

}  // namespace picferry
