#include "platform/posix_file_system.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/paths.h"

namespace picferry::os {

std::optional<std::string> PosixFileSystem::createDirectories(const std::string& path) {
  std::error_code error;
  // Fails with "Not a directory" when something else already is at the path.
  std::filesystem::create_directories(path, error);
  if (!error) return std::nullopt;
  return "Couldn't create the folder \"" + path + "\": " + error.message();
}

std::optional<FileEntry> PosixFileSystem::entry(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  FileEntry found;
  if (S_ISREG(status.st_mode)) found.kind = FileEntry::Kind::regularFile;
  if (S_ISDIR(status.st_mode)) found.kind = FileEntry::Kind::directory;
  found.size = status.st_size;
  found.mtime = status.st_mtime;
  return found;
}

std::string PosixFileSystem::absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return resolvePath(path, "/");
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return resolvePath(path, "/");
    buffer.resize(buffer.size() * 2);
  }
  return resolvePath(path, buffer.data());
}

}  // namespace picferry::os
