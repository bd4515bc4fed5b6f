// The destination folder on a POSIX file system.

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string_view>

#include "destination/destination_folder.h"
#include "platform/file_system_room.h"

namespace picferry {
namespace {

constexpr int kMaxTempAttempts = 100;
constexpr std::string_view kTempPrefix = ".picferry-";
constexpr std::string_view kTempSuffix = ".part";
constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kRandomLength = 6;

std::string randomSuffix() {
  unsigned char bytes[kRandomLength];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // No entropy source: fall back to something that still varies; O_EXCL
      // keeps a collision harmless.
      auto seed = static_cast<unsigned long>(std::time(nullptr)) ^
                  (static_cast<unsigned long>(getpid()) << 8);
      for (auto& b : bytes) b = static_cast<unsigned char>(seed = seed * 1103515245 + 12345);
      break;
    }
  }
  std::string s;
  for (unsigned char b : bytes) s += kAlphabet[b % kAlphabet.size()];
  return s;
}

// Exactly the names createLockedTemporary() makes, so that nothing else is
// ever swept.
bool isTemporaryName(std::string_view name) {
  if (name.size() != kTempPrefix.size() + kRandomLength + kTempSuffix.size() ||
      !name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) {
    return false;
  }
  return name.substr(kTempPrefix.size(), kRandomLength).find_first_not_of(kAlphabet) ==
         std::string_view::npos;
}

// An open-file-description lock: it belongs to this descriptor and its
// duplicates, so libgphoto2 closing the duplicate it is given keeps it, and it
// conflicts with any other open of the file, in this process or another.
bool tryLockExclusive(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether `name` in the directory is still the file open as `fd`.
bool nameIsFile(int dirFd, const char* name, int fd) {
  struct stat named {}, opened {};
  return fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// A file a running import writes is locked by it, and kept.
void sweepLeftovers(int dirFd) {
  int scanFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scanFd < 0) return;
  DIR* scan = fdopendir(scanFd);
  if (!scan) {
    close(scanFd);
    return;
  }
  while (const dirent* entry = readdir(scan)) {
    if (!isTemporaryName(entry->d_name)) continue;
    int fd = openat(dirFd, entry->d_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (tryLockExclusive(fd) && nameIsFile(dirFd, entry->d_name, fd)) {
      unlinkat(dirFd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(scan);
}

bool unnamedFilesUnsupported(int err) {
  // EISDIR: a kernel older than O_TMPFILE sees only O_DIRECTORY.
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

bool hardLinksUnsupported(int err) { return err == EPERM || err == ENOSYS || err == EOPNOTSUPP; }

int errnoOf(int result) { return result == 0 ? 0 : errno; }

// File systems on which one syncfs makes every file's data and name durable,
// and reports a failure of any of them (ext4 with or without a journal, XFS,
// btrfs, f2fs, tmpfs). A FUSE file system's syncfs does not reach its files.
bool flushedWhole(int dirFd) {
  struct statfs st {};
  if (fstatfs(dirFd, &st) != 0) return false;
  switch (static_cast<unsigned long>(st.f_type)) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      return false;
  }
}

class PosixTemporaryFile final : public TemporaryFile {
 public:
  // `tempName` is empty for an unnamed file.
  PosixTemporaryFile(int dirFd, int fd, std::string tempName)
      : dirFd_(dirFd), fd_(fd), tempName_(std::move(tempName)) {}
  ~PosixTemporaryFile() override {
    // An unnamed file needs nothing: closing it frees it.
    if (!named_ && !tempName_.empty()) unlinkat(dirFd_, tempName_.c_str(), 0);
    close(fd_);
  }

  int fd() const override { return fd_; }

  int append(const void* data, std::size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t n = write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return 0;
  }

  int size(std::int64_t* bytes) override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return errno;
    *bytes = st.st_size;
    return 0;
  }

  int setModificationTime(std::int64_t seconds) override {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return errnoOf(futimens(fd_, times));
  }

  int flushData() override { return errnoOf(fdatasync(fd_)); }
  int flush() override { return errnoOf(fsync(fd_)); }

  int link(const std::string& name) override {
    const int err = tempName_.empty() ? linkUnnamed(name) : renameNamed(name);
    if (err == 0) named_ = true;
    return err;
  }

 private:
  // linkat never replaces. The /proc route needs no privilege; AT_EMPTY_PATH
  // serves where /proc is not mounted.
  int linkUnnamed(const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (linkat(AT_FDCWD, self.c_str(), dirFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    return errnoOf(linkat(fd_, "", dirFd_, name.c_str(), AT_EMPTY_PATH));
  }

  int renameNamed(const std::string& name) {
    if (renameat2(dirFd_, tempName_.c_str(), dirFd_, name.c_str(), RENAME_NOREPLACE) == 0) {
      return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    return linkNamed(name);
  }

  // Without a no-replace rename: a hard link never replaces either.
  int linkNamed(const std::string& name) {
    if (linkat(dirFd_, tempName_.c_str(), dirFd_, name.c_str(), 0) == 0) {
      unlinkat(dirFd_, tempName_.c_str(), 0);
      return 0;
    }
    if (!hardLinksUnsupported(errno)) return errno;
    return placeholderThenRename(name);
  }

  // FAT and exFAT have neither, and their rename replaces. The name is taken
  // with O_EXCL as an empty file, which the complete file then replaces: no
  // existing file is ever replaced, and no partial file stands under the name.
  // What remains: a run ended between the two steps (an instant) leaves that
  // empty file under the final name, never counted.
  int placeholderThenRename(const std::string& name) {
    int placeholder =
        openat(dirFd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (placeholder < 0) return errno;
    close(placeholder);
    if (renameat(dirFd_, tempName_.c_str(), dirFd_, name.c_str()) == 0) return 0;
    int err = errno;
    unlinkat(dirFd_, name.c_str(), 0);
    return err;
  }

  const int dirFd_;  // the folder's, which outlives this file
  const int fd_;
  const std::string tempName_;
  bool named_ = false;
};

class PosixFolder final : public DestinationFolder {
 public:
  PosixFolder(std::string path, int dirFd)
      : path_(std::move(path)), dirFd_(dirFd), groups_(flushedWhole(dirFd)) {}
  ~PosixFolder() override { close(dirFd_); }

  const std::string& path() const override { return path_; }
  bool flushesInGroups() const override { return groups_; }

  std::unique_ptr<TemporaryFile> createTemporary(int* error) override {
    std::string tempName;
    int fd = openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && unnamedFilesUnsupported(errno)) fd = createLockedTemporary(&tempName);
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    return std::make_unique<PosixTemporaryFile>(dirFd_, fd, std::move(tempName));
  }

  int flushFolder() override { return errnoOf(fsync(dirFd_)); }
  int flushFileSystem() override { return errnoOf(syncfs(dirFd_)); }
  FileSystemRoom room() const override { return os::roomOf(path_); }

 private:
  // A new hidden file, locked, that no sweep removed before the lock was
  // taken. Returns -1 with errno set on failure.
  int createLockedTemporary(std::string* tempName) {
    for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
      std::string name = std::string(kTempPrefix) + randomSuffix() + std::string(kTempSuffix);
      int fd = openat(dirFd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return -1;
      }
      // A sweep by another run may hold it, and remove it, in the instant
      // before the lock. Where the file system has no locks, no sweep can
      // take one either.
      const bool heldElsewhere = !tryLockExclusive(fd) && (errno == EAGAIN || errno == EACCES);
      if (!heldElsewhere && nameIsFile(dirFd_, name.c_str(), fd)) {
        *tempName = std::move(name);
        return fd;
      }
      close(fd);
    }
    errno = EEXIST;
    return -1;
  }

  const std::string path_;
  const int dirFd_;
  const bool groups_;
};

}  // namespace

std::unique_ptr<DestinationFolder> openPosixFolder(const std::string& directory, int* error) {
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    *error = errno;
    return nullptr;
  }
  sweepLeftovers(dirFd);
  return std::make_unique<PosixFolder>(directory, dirFd);
}

}  // namespace picferry
