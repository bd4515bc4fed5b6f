#pragma once

// A file that appears under its final name only once it is complete and on
// disk, and that never replaces anything. Written by every backend.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "destination/destination_folder.h"
#include "platform/device_error.h"

namespace picferry {

// A new file being written in a destination folder, which must outlive it.
// Not thread-safe: use from one thread at a time.
//
// Where the file system has unnamed temporary files (O_TMPFILE: ext4, XFS,
// btrfs, tmpfs), the file has no name at all until it is named, so the kernel
// reclaims it whatever ends the process. Elsewhere (FAT, exFAT through FUSE)
// it is a hidden ".picferry-XXXXXX.part" held under an exclusive lock while it
// is written, which the next run into the folder removes if this one dies.
// Destroying the object before it is named removes its temporary file.
//
// The steps, in order: write (append, or through fd()); finishWriting; the
// data flushed (flushData, or the folder's file system flushed by the
// caller); claimName; the name flushed (flushName, or the file system flushed
// by the caller). Only then is the file safe to count.
class DurableFile {
 public:
  // `label` is the name messages use until the file is named. Returns
  // nullptr and sets `*error` on failure.
  static std::unique_ptr<DurableFile> create(DestinationFolder& folder, const std::string& label,
                                             DeviceError* error);

  // The writable descriptor, owned by this object (dup it to hand it over).
  int fd() const { return file_->fd(); }
  std::optional<DeviceError> append(const void* data, std::size_t size);

  // Checks that exactly `expectedSize` bytes were written (a negative size
  // is not checked) and sets the modification time (seconds since the
  // epoch) when given. A failure removes the file.
  std::optional<DeviceError> finishWriting(std::int64_t expectedSize,
                                           std::optional<std::int64_t> mtime);
  // A failure removes the file.
  std::optional<DeviceError> flushData();
  // Gives the file the first free name of numberedFileName(name, 0, 1, ...),
  // never replacing an existing entry; `*savedName` (if not null) is that
  // name. A failure removes the file.
  std::optional<DeviceError> claimName(const std::string& name, std::string* savedName = nullptr);
  // Flushes the folder, then the file itself. A failure leaves the complete
  // file under its name, not yet safe to count.
  std::optional<DeviceError> flushName();

  // Every step, under the label's name.
  std::optional<DeviceError> commit(std::int64_t expectedSize, std::optional<std::int64_t> mtime,
                                    std::string* savedName = nullptr);

  // A failure of the named file's flush through the file system.
  DeviceError flushFailure(int err) const;

 private:
  DurableFile(DestinationFolder& folder, std::unique_ptr<TemporaryFile> file, std::string label);
  std::optional<DeviceError> fail(DeviceError error);
  DeviceError errnoError(const std::string& what, int err) const;

  DestinationFolder& folder_;
  std::unique_ptr<TemporaryFile> file_;  // null once failed
  std::string name_;                     // the label, then the name given
  bool named_ = false;
};

}  // namespace picferry
