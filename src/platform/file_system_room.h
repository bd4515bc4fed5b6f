#pragma once

#include <string>

#include "platform/services.h"

namespace picferry::os {

// What the file system holding `directory` can still take. Free bytes come
// from statvfs: the blocks every user may take, or all free blocks for a
// process allowed the ones kept for root (CAP_SYS_RESOURCE, as ext4 asks).
// The largest file is known for FAT, which holds 4 GiB - 1 bytes in a file,
// whether mounted by the kernel (vfat, msdos) or through FUSE (fusefat).
FileSystemRoom roomOf(const std::string& directory);

}  // namespace picferry::os
