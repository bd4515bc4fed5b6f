// One download: the card's file copied by the kernel (copy_file_range) into a
// durable file in the destination, checked, dated, and named without
// replacing anything.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "camera/durable_file.h"
#include "camera/mounted/mounted_device.h"

namespace picferry {
namespace {

constexpr std::size_t kChunk = 8 << 20;

// Copies what is left of `from` to `out`; the kernel moves the bytes where it
// can, else they pass through a buffer.
std::optional<DeviceError> copyRest(int from, DurableFile& out, const std::string& path) {
  bool kernelCopy = true;
  std::vector<char> buffer;
  for (;;) {
    if (kernelCopy) {
      const ssize_t n = copy_file_range(from, nullptr, out.fd(), nullptr, kChunk, 0);
      if (n > 0) continue;
      if (n == 0) return std::nullopt;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return DeviceError{"Couldn't copy " + path + ": " + std::strerror(errno)};
      }
      kernelCopy = false;  // Not between these file systems: copy through memory.
      buffer.resize(kChunk);
    }
    const ssize_t n = read(from, buffer.data(), buffer.size());
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      return DeviceError{"Couldn't read " + path + ": " + std::strerror(errno)};
    }
    if (auto failed = out.append(buffer.data(), static_cast<std::size_t>(n))) return failed;
  }
}

}  // namespace

std::optional<DeviceError> MountedDevice::download(const MountedFile& file,
                                                   const DownloadOptions& options) {
  const int from = open(file.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (from < 0) return DeviceError{"Couldn't open " + file.path() + ": " + std::strerror(errno)};
  DeviceError error;
  auto out = DurableFile::create(options.downloadsDirectory, options.saveAsFilename, &error);
  std::optional<DeviceError> failure;
  if (!out) {
    failure = error;
  } else if (!(failure = copyRest(from, *out, file.path()))) {
    failure = out->commit(file.fileSize(), file.modificationDate());
  }
  close(from);
  return failure;
}

}  // namespace picferry
