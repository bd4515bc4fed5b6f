// A file's thumbnail source over libgphoto2: the device's own thumbnail
// (PTP GetThumb), and the head of the file through partial reads.

#include <gphoto2/gphoto2-file.h>

#include <mutex>
#include <shared_mutex>

#include "camera/gphoto2/gphoto2_device.h"
#include "camera/gphoto2/gphoto2_lock.h"
#include "thumbnails/head_cutter.h"

namespace picferry {

std::optional<std::string> Gphoto2Camera::preview(const std::string& folder,
                                                  const std::string& name) {
  std::shared_lock call(gphoto2CameraCalls());
  ::CameraFile* file = nullptr;  // libgphoto2's, not ours
  if (gp_file_new(&file) != GP_OK) return std::nullopt;
  std::optional<std::string> thumbnail;
  const char* data = nullptr;
  unsigned long size = 0;
  if (gp_camera_file_get(camera_, folder.c_str(), name.c_str(), GP_FILE_TYPE_PREVIEW, file,
                         context_.get()) == GP_OK &&
      gp_file_get_data_and_size(file, &data, &size) == GP_OK && data && size > 0) {
    thumbnail.emplace(data, size);
  }
  gp_file_unref(file);
  return thumbnail;
}

std::optional<std::string> Gphoto2Camera::readAt(const std::string& folder,
                                                 const std::string& name, std::uint64_t offset,
                                                 std::size_t length) {
  std::shared_lock call(gphoto2CameraCalls());
  std::string bytes(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    std::uint64_t got = length - done;
    if (gp_camera_file_read(camera_, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL,
                            offset + done, bytes.data() + done, &got, context_.get()) < GP_OK) {
      return std::nullopt;
    }
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return bytes;
}

ThumbnailSource Gphoto2Device::thumbnailSourceOf(const Gphoto2File& file) {
  if (!camera_ || file.shadowed() || !file.sizeIsKnown()) return {};
  return cutThumbnailSource(
      [&](std::uint64_t offset, std::size_t length) {
        return camera_->readAt(file.folder(), file.fileName(), offset, length);
      },
      file.fileSize(), camera_->preview(file.folder(), file.fileName()).value_or(""));
}

}  // namespace picferry
