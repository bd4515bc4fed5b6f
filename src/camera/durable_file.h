#pragma once

// A file that appears under its final name only once it is complete and on
// disk, and that never replaces anything. Shared by every backend.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "camera/camera.h"
#include "camera/file_names.h"

namespace picferry {

// A new file being written in a destination directory under a hidden
// temporary name (".picferry-XXXXXX.part"). Not thread-safe: use from one
// thread at a time. Destroying it before a successful commit() removes the
// temporary file, so nothing partial is ever left behind.
class DurableFile {
 public:
  // Opens the temporary file in `directory` (O_EXCL, O_CLOEXEC), for a file
  // to be called `finalName`, which must satisfy isSafeFileName. Returns
  // nullptr and sets `*error` on failure.
  static std::unique_ptr<DurableFile> create(const std::string& directory,
                                             const std::string& finalName,
                                             DeviceError* error);
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  // The writable descriptor, owned by this object (dup it to hand it over).
  int fd() const { return fd_; }

  // Appends `size` bytes at the end of what was written.
  std::optional<DeviceError> append(const void* data, std::size_t size);

  // Checks that exactly `expectedSize` bytes were written (a negative size is
  // not checked), sets the modification time (seconds since the epoch) when
  // given, flushes the data to disk, then gives the file the first free name
  // of numberedFileName(finalName, 0, 1, ...) without ever replacing an
  // existing entry. On success `*savedName` (if not null) is that name and the
  // temporary file is gone; on failure the temporary file is removed too.
  std::optional<DeviceError> commit(std::int64_t expectedSize,
                                    std::optional<std::int64_t> mtime,
                                    std::string* savedName = nullptr);

 private:
  DurableFile(int dirFd, int fd, std::string directory, std::string tempName,
              std::string finalName);
  void discard();
  DeviceError errnoError(const std::string& what, int err) const;

  int dirFd_;
  int fd_;
  std::string directory_;
  std::string tempName_;
  std::string finalName_;
  bool done_ = false;
};

}  // namespace picferry
