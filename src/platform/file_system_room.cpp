#include "platform/file_system_room.h"

#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>

namespace picferry::os {
namespace {

// A FAT directory entry keeps a file's size in 32 bits.
constexpr std::int64_t kFatLargestFile = 0xFFFFFFFF;

bool mayUseReservedBlocks() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_RESOURCE)].effective & CAP_TO_MASK(CAP_SYS_RESOURCE)) != 0;
}

// The type /proc/self/mountinfo gives the mount of `device`, such as
// "fuse.fusefat"; empty when none is found.
std::string mountType(dev_t device) {
  const std::string id = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::ifstream mountinfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string mountId, parentId, deviceId;
    fields >> mountId >> parentId >> deviceId;
    const auto separator = line.find(" - ");
    if (deviceId != id || separator == std::string::npos) continue;
    std::istringstream rest(line.substr(separator + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

bool isFat(const std::string& directory) {
  struct statfs kind {};
  if (statfs(directory.c_str(), &kind) != 0) return false;
  if (kind.f_type == MSDOS_SUPER_MAGIC) return true;
  if (kind.f_type != FUSE_SUPER_MAGIC) return false;
  struct stat folder {};
  if (stat(directory.c_str(), &folder) != 0) return false;
  const std::string type = mountType(folder.st_dev);
  return type == "fuse.fusefat" || type == "fuseblk.fusefat";
}

std::int64_t bytesOf(fsblkcnt_t blocks, unsigned long blockSize) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  if (blockSize != 0 && blocks > static_cast<fsblkcnt_t>(kMax) / blockSize) return kMax;
  return static_cast<std::int64_t>(blocks * blockSize);
}

}  // namespace

FileSystemRoom roomOf(const std::string& directory) {
  FileSystemRoom room;
  struct statvfs space {};
  // No blocks at all: the file system tells nothing of its size (fusefat).
  if (statvfs(directory.c_str(), &space) == 0 && space.f_blocks != 0) {
    room.freeBytes =
        bytesOf(mayUseReservedBlocks() ? space.f_bfree : space.f_bavail, space.f_frsize);
  }
  if (isFat(directory)) room.largestFile = kFatLargestFile;
  return room;
}

}  // namespace picferry::os
