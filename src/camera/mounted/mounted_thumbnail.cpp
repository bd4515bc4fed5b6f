// A file's thumbnail source on mounted storage: its head read with pread.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "camera/mounted/mounted_device.h"
#include "thumbnails/head_cutter.h"

namespace picferry {

ThumbnailSource MountedDevice::thumbnailSourceOf(const MountedFile& file) {
  const int fd = open(file.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  auto source = cutThumbnailSource(
      [fd](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
        std::string bytes(length, '\0');
        std::size_t done = 0;
        while (done < length) {
          const ssize_t n =
              pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) return std::nullopt;
          if (n == 0) break;
          done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
        return bytes;
      },
      file.fileSize());
  close(fd);
  return source;
}

}  // namespace picferry
