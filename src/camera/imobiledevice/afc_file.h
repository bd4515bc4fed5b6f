#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "camera/camera.h"

namespace picferry {

// A regular file under /DCIM on a phone, as AFC listed it. Immutable.
class AfcFile final : public CameraFile {
 public:
  AfcFile(std::string path, std::string name, std::int64_t size, std::optional<std::int64_t> mtime)
      : path_(std::move(path)), name_(std::move(name)), size_(size), mtime_(mtime) {}

  std::optional<std::string> name() const override { return name_; }
  std::int64_t fileSize() const override { return size_; }
  std::optional<std::int64_t> modificationDate() const override { return mtime_; }
  std::string devicePath() const override { return path_; }

  // Its path on the phone, /DCIM/...
  const std::string& path() const { return path_; }
  const std::string& fileName() const { return name_; }

 private:
  std::string path_;
  std::string name_;
  std::int64_t size_;
  std::optional<std::int64_t> mtime_;
};

}  // namespace picferry
