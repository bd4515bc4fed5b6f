// A file's thumbnail source on a phone: its head read over AFC with seeks and
// partial reads, never the whole file unless it is small.

#include "camera/imobiledevice/afc_device.h"
#include "camera/imobiledevice/afc_session.h"
#include "thumbnails/head_cutter.h"

namespace picferry {

ThumbnailSource AfcSession::thumbnailSource(const std::string& path, std::int64_t size) {
  if (lost_) return {};
  std::uint64_t handle = 0;
  afc_error_t result = afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &handle);
  if (result != AFC_E_SUCCESS) {
    noteFailure(result);
    return {};
  }
  std::uint64_t position = 0;  // a seek costs a round trip: only where the reads jump
  auto source = cutThumbnailSource(
      [&](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
        if (offset != position) {
          result = afc_file_seek(afc_, handle, static_cast<std::int64_t>(offset), SEEK_SET);
        }
        std::string bytes(length, '\0');
        std::size_t done = 0;
        while (result == AFC_E_SUCCESS && done < length) {
          std::uint32_t got = 0;
          result = afc_file_read(afc_, handle, bytes.data() + done,
                                 static_cast<std::uint32_t>(length - done), &got);
          if (got == 0) break;
          done += got;
        }
        if (result != AFC_E_SUCCESS) {
          noteFailure(result);
          return std::nullopt;
        }
        position = offset + done;
        bytes.resize(done);
        return bytes;
      },
      size);
  if (!lost_) afc_file_close(afc_, handle);
  return source;
}

ThumbnailSource AfcDevice::thumbnailSourceOf(const AfcFile& file) {
  if (!session_ || detached_.load()) return {};
  return session_->thumbnailSource(file.path(), file.fileSize());
}

}  // namespace picferry
