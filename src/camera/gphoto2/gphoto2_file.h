#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "camera/camera.h"

namespace picferry {

// A file listed by a libgphoto2 camera. Immutable.
class Gphoto2File final : public CameraFile {
 public:
  // `size` negative: unknown (then reported as 0 and not checked on download).
  // `shadowed`: libgphoto2 reaches another object of this folder and name
  // instead of this one (left_out_names.h), so this one cannot be copied;
  // it is the `shadowed`-th other object of that name.
  Gphoto2File(std::string folder, std::string name, std::int64_t size,
              std::optional<std::int64_t> mtime, int shadowed = 0)
      : folder_(std::move(folder)),
        name_(std::move(name)),
        size_(size),
        mtime_(mtime),
        shadowed_(shadowed) {}

  std::optional<std::string> name() const override { return name_; }
  std::int64_t fileSize() const override { return size_ < 0 ? 0 : size_; }
  bool sizeIsKnown() const override { return size_ >= 0; }
  std::optional<std::int64_t> modificationDate() const override { return mtime_; }
  // Folder and name as libgphoto2 gives them. An object libgphoto2 cannot
  // reach shares both with the one it reaches: "/2", "/3"... after them keeps
  // its path unique, and no object can have that path.
  std::string devicePath() const override {
    std::string path = folder_ == "/" ? "/" + name_ : folder_ + "/" + name_;
    return shadowed_ ? path + "/" + std::to_string(shadowed_ + 1) : path;
  }

  const std::string& folder() const { return folder_; }
  const std::string& fileName() const { return name_; }
  bool shadowed() const { return shadowed_ != 0; }

 private:
  std::string folder_;
  std::string name_;
  std::int64_t size_;
  std::optional<std::int64_t> mtime_;
  int shadowed_;
};

}  // namespace picferry
