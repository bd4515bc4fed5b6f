#include "camera/mounted/file_system_uuid.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <sys/stat.h>

namespace picferry {
namespace {

std::optional<dev_t> blockDeviceNumber(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

std::optional<std::string> uuidFromLinks(dev_t device, const std::string& linksFolder) {
  DIR* dir = opendir(linksFolder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> uuid;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (blockDeviceNumber(linksFolder + "/" + name) == device) {
      uuid = name;
      break;
    }
  }
  closedir(dir);
  return uuid;
}

std::optional<std::string> uuidFromSuperblock(const std::string& source) {
  blkid_probe probe = blkid_new_probe_from_filename(source.c_str());
  if (!probe) return std::nullopt;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  std::optional<std::string> uuid;
  const char* value = nullptr;
  if (blkid_do_safeprobe(probe) == 0 &&
      blkid_probe_lookup_value(probe, "UUID", &value, nullptr) == 0 && value && *value) {
    uuid = value;
  }
  blkid_free_probe(probe);
  return uuid;
}

}  // namespace

std::optional<std::string> fileSystemUuid(const std::string& source,
                                          const std::string& linksFolder) {
  const auto device = blockDeviceNumber(source);
  if (!device) return std::nullopt;
  if (auto uuid = uuidFromLinks(*device, linksFolder)) return uuid;
  return uuidFromSuperblock(source);
}

}  // namespace picferry
