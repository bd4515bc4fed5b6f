// One download: the card's file copied by the kernel into a file in the
// destination.

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "camera/mounted/mounted_device.h"
#include "destination/durable_file.h"
#include "destination/failure_code.h"

namespace picferry {
namespace {

// Large enough that a call moves a lot, small enough that an abandoned copy
// stops at once.
constexpr std::size_t kChunk = 4 << 20;
constexpr std::size_t kBufferSize = 1 << 20;

bool unsupportedBetween(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// The kind of a failed open or copy: the copy calls give the destination's
// errors as well as the card's.
FailureCode copyFailureCode(int err) {
  switch (err) {
    case ENOENT:
      return FailureCode::notOnDevice;
    case ENODEV:
    case ENXIO:
      return FailureCode::deviceDisconnected;
    case EACCES:
    case EPERM:
      return FailureCode::deviceRefused;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return destinationFailureCode(err);
    default:
      return FailureCode::deviceReadFailed;
  }
}

DeviceError copyError(const std::string& what, const std::string& path, int err) {
  return {what + " " + path + ": " + std::strerror(err), copyFailureCode(err)};
}

DeviceError abandonedCopy(const std::string& path) {
  return {"The copy of " + path + " was stopped."};
}

// Copies what is left of `from` to `out`. copy_file_range lets the file
// system share or move the blocks; between file systems it may not, and
// sendfile still keeps the bytes in the kernel; only where neither serves do
// they pass through a buffer.
std::optional<DeviceError> copyRest(int from, DurableFile& out, const std::string& path,
                                    const std::atomic<bool>& abandoned) {
  enum class Way { copyFileRange, sendFile, buffer } way = Way::copyFileRange;
  std::unique_ptr<char[]> buffer;
  for (;;) {
    if (abandoned.load()) return abandonedCopy(path);
    ssize_t n = 0;
    if (way == Way::copyFileRange) {
      n = copy_file_range(from, nullptr, out.fd(), nullptr, kChunk, 0);
    } else if (way == Way::sendFile) {
      n = sendfile(out.fd(), from, nullptr, kChunk);
    } else {
      n = read(from, buffer.get(), kBufferSize);
      if (n > 0) {
        if (auto failed = out.append(buffer.get(), static_cast<std::size_t>(n))) return failed;
      }
    }
    if (n > 0) continue;
    if (n == 0) return std::nullopt;
    if (errno == EINTR) continue;
    if (way != Way::buffer && unsupportedBetween(errno)) {
      way = way == Way::copyFileRange ? Way::sendFile : Way::buffer;
      if (way == Way::buffer) buffer = std::make_unique<char[]>(kBufferSize);
      continue;
    }
    return copyError("Couldn't copy", path, errno);
  }
}

}  // namespace

std::optional<DeviceError> MountedDevice::copyInto(const MountedFile& file, DurableFile& out,
                                                   const std::atomic<bool>& abandoned) {
  const int from = open(file.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (from < 0) {
    const int err = errno;
    // A card taken out leaves its mount point without DCIM: gone, not a file deleted.
    if (err == ENOENT && !dcimFolderOf(mountPoint_)) {
      return DeviceError{"Couldn't open " + file.path() + ": the card is no longer mounted",
                         FailureCode::deviceDisconnected};
    }
    return copyError("Couldn't open", file.path(), err);
  }
  auto failure = copyRest(from, out, file.path(), abandoned);
  close(from);
  return failure;
}

}  // namespace picferry
