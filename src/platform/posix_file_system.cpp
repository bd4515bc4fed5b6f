#include "platform/posix_file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/file_system_room.h"
#include "platform/paths.h"

namespace picferry::os {
namespace {

// 0 for a folder, ENOTDIR for anything else, or why it could not be looked at
// (a dead disk answers EIO, which must not read as "Not a directory").
int folderError(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

// Makes the entries of a folder durable: its new subfolder survives a power cut.
int syncDirectory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

// Creates the folder when it is missing; 0 or an errno. A new folder's entry
// is flushed at once, so that the folders an import creates are on disk
// before its first file is counted.
int createOne(const std::string& path, const std::string& parent) {
  if (folderError(path) == 0) return 0;
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno != EEXIST) return errno;
    return folderError(path);  // a file, or a folder made meanwhile
  }
  return syncDirectory(parent);
}

// Whether a file can be created in the folder, asked the way a file would be:
// an unnamed file leaves nothing behind. Where there are none, the
// permissions and the mount say it (root passes those, a read-only mount not).
int probeWritable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

}  // namespace

std::optional<std::string> PosixFileSystem::createDirectories(const std::string& path) {
  // Any C call would stop at the NUL: a different folder from the one named.
  if (path.find('\0') != std::string::npos) {
    return "Couldn't create the folder \"" + path + "\": a folder name cannot hold a NUL byte";
  }
  std::string prefix;
  std::size_t from = 0;
  if (!path.empty() && path.front() == '/') prefix = "/", from = 1;
  while (from < path.size()) {
    std::size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    if (end > from) {
      const std::string parent = prefix.empty() ? "." : prefix;
      prefix = prefix.empty() ? path.substr(from, end - from)
                              : joinPath(prefix, path.substr(from, end - from));
      if (const int error = createOne(prefix, parent)) {
        return "Couldn't create the folder \"" + path + "\": " + std::strerror(error);
      }
    }
    from = end + 1;
  }
  if (const int error = probeWritable(path.empty() ? "." : path)) {
    return "Couldn't write in the folder \"" + path + "\": " + std::strerror(error);
  }
  return std::nullopt;
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

FileSystemRoom PosixFileSystem::room(const std::string& directory) { return roomOf(directory); }

}  // namespace picferry::os
