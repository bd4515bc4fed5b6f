#pragma once

#include <optional>
#include <string>

#include "platform/services.h"

namespace picferry::os {

class PosixFileSystem final : public FileSystem {
 public:
  // Also checks that a file can be created in it, and refuses a path holding
  // NUL. A failure reads like: Couldn't create the folder "/x/y": Not a
  // directory, or Couldn't write in the folder "/x": Read-only file system.
  std::optional<std::string> createDirectories(const std::string& path) override;
  // Does not follow a final symbolic link, so a dangling link counts.
  std::optional<FileEntry> entry(const std::string& path) override;
  // Against the current working directory ("/" if it cannot be determined).
  std::string absolutePath(const std::string& path) override;
  FileSystemRoom room(const std::string& directory) override;
};

}  // namespace picferry::os
