#pragma once

// A file that appears under its final name only once it is complete and on
// disk, and that never replaces anything. Shared by every backend.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "destination/file_names.h"
#include "platform/device_error.h"

namespace picferry {

// A new file being written in a destination directory. Not thread-safe: use
// from one thread at a time.
//
// Where the file system has unnamed temporary files (O_TMPFILE: ext4, XFS,
// btrfs, tmpfs), the file has no name at all until commit(), so the kernel
// reclaims it whatever ends the process. Elsewhere (FAT, exFAT through FUSE)
// it is a hidden ".picferry-XXXXXX.part" held under an exclusive lock while it
// is written; the first create() in a directory removes the unlocked ones left
// by runs that were killed, and never touches a running import's. Destroying
// the object before a successful commit() removes its temporary file.
class DurableFile {
 public:
  // Opens the temporary file in `directory`, for a file to be called
  // `finalName` (the name commit() gives it and messages use; claimName may
  // give another), which must satisfy isSafeFileName. Returns nullptr and sets
  // `*error` on failure.
  static std::unique_ptr<DurableFile> create(const std::string& directory,
                                             const std::string& finalName,
                                             DeviceError* error);
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  // The writable descriptor, owned by this object (dup it to hand it over;
  // the lock stays held when a duplicate is closed).
  int fd() const { return fd_; }

  // Appends `size` bytes at the end of what was written.
  std::optional<DeviceError> append(const void* data, std::size_t size);

  // The three steps of commit(), for callers that run them on different
  // threads (one at a time): checks that exactly `expectedSize` bytes were
  // written (a negative size is not checked) and sets the modification time
  // (seconds since the epoch) when given; then flushes the data to disk; then
  // gives the file the first free name of numberedFileName(name, 0, 1, ...)
  // without ever replacing an existing entry, then flushes the file and the
  // directory so that the name survives a power cut. On success `*savedName`
  // (if not null) is that name and no temporary file is left; any failure
  // removes the temporary file too, except when a flush after naming failed:
  // the complete file then keeps its name.
  std::optional<DeviceError> finishWriting(std::int64_t expectedSize,
                                           std::optional<std::int64_t> mtime);
  std::optional<DeviceError> flushData();
  std::optional<DeviceError> claimName(const std::string& name, std::string* savedName = nullptr);

  // All three steps, under the name given to create().
  std::optional<DeviceError> commit(std::int64_t expectedSize,
                                    std::optional<std::int64_t> mtime,
                                    std::string* savedName = nullptr);

 private:
  // `tempName` is empty for an unnamed file.
  DurableFile(int dirFd, int fd, std::string directory, std::string tempName,
              std::string finalName);
  static int createLockedTemporary(int dirFd, std::string* tempName);
  // Gives the written file the name `candidate`: 0 on success, else an errno
  // (EEXIST: the name is taken).
  int claim(const std::string& candidate);
  int claimByLink(const std::string& candidate);
  int claimByPlaceholder(const std::string& candidate);
  std::optional<DeviceError> fail(DeviceError error);
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
