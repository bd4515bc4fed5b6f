#pragma once

#include <optional>
#include <string>

#include "platform/services.h"

namespace picferry::os {

class PosixFileSystem final : public FileSystem {
 public:
  // A failure reads like: Couldn't create the folder "/x/y": Not a directory
  std::optional<std::string> createDirectories(const std::string& path) override;
  // Does not follow a final symbolic link, so a dangling link counts.
  std::optional<FileEntry> entry(const std::string& path) override;
  // Against the current working directory ("/" if it cannot be determined).
  std::string absolutePath(const std::string& path) override;
};

}  // namespace picferry::os
