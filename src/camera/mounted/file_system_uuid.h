#pragma once

#include <optional>
#include <string>

namespace picferry {

constexpr char kUuidLinksFolder[] = "/dev/disk/by-uuid";

// The UUID of the file system on the block device `source` (a mount table's
// source, such as "/dev/sdb1"): from udev's links in `linksFolder`, which
// anyone may read, else from the file system's own superblock (libblkid;
// reading the device needs permission). Absent for anything that is not a
// block device (tmpfs, FUSE) and for file systems without one.
std::optional<std::string> fileSystemUuid(const std::string& source,
                                          const std::string& linksFolder = kUuidLinksFolder);

}  // namespace picferry
