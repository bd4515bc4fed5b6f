#pragma once

// Every disk operation a copy makes in the destination folder goes through
// these two interfaces: the POSIX one below, and in tests a fake that records
// each call, fails any of them and keeps only what was flushed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/services.h"

namespace picferry {

// A file being written in the folder that has no final name yet. Results are
// 0 or an errno value. Use from one thread at a time.
class TemporaryFile {
 public:
  virtual ~TemporaryFile() = default;  // removes the file unless it was named
  // A descriptor open for writing, owned by the file (dup it to hand it over).
  virtual int fd() const = 0;
  virtual int append(const void* data, std::size_t size) = 0;
  virtual int size(std::int64_t* bytes) = 0;
  // Seconds since the epoch, as access and modification times.
  virtual int setModificationTime(std::int64_t seconds) = 0;
  // The bytes written so far reach the disk.
  virtual int flushData() = 0;
  // Gives the file `name` in the folder, never replacing anything there:
  // EEXIST when the name is taken. At most one name succeeds.
  virtual int link(const std::string& name) = 0;
  // The file's own metadata (its name's link count included) reach the disk.
  virtual int flush() = 0;
};

// The destination folder.
class DestinationFolder {
 public:
  virtual ~DestinationFolder() = default;
  virtual const std::string& path() const = 0;
  // Whether flushFileSystem() makes durable at once the data and names of
  // every file written in the folder (local file systems). Where it does not
  // (FUSE file systems: exFAT, FAT, NTFS), each file is flushed on its own.
  virtual bool flushesInGroups() const = 0;
  // A new temporary file; nullptr with `*error` set on failure.
  virtual std::unique_ptr<TemporaryFile> createTemporary(int* error) = 0;
  // The folder's entries reach the disk.
  virtual int flushFolder() = 0;
  // Everything written to the folder's file system reaches the disk.
  virtual int flushFileSystem() = 0;
  // What the folder's file system can still take.
  virtual FileSystemRoom room() const = 0;
};

// Opens `directory` (an existing folder) and removes the temporary files that
// runs ended by a kill, a crash or a power cut left in it (never a running
// import's). nullptr with `*error` set on failure.
std::unique_ptr<DestinationFolder> openPosixFolder(const std::string& directory, int* error);

}  // namespace picferry
