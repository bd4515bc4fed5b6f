#include "destination/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

#include "destination/failure_code.h"
#include "platform/paths.h"

namespace picferry {
namespace {

constexpr int kMaxNameAttempts = 10000;
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

// Removes the temporary files that runs ended by a kill, a crash or a power
// cut left in the directory. A file a running import writes is locked by it,
// and kept.
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

// The sweep runs at the first file of a run into a directory, not at every file.
void sweepLeftoversOnce(int dirFd, const std::string& directory) {
  static std::mutex mutex;
  static std::set<std::string> swept;
  {
    std::lock_guard lock(mutex);
    if (!swept.insert(directory).second) return;
  }
  sweepLeftovers(dirFd);
}

bool unnamedFilesUnsupported(int err) {
  // EISDIR: a kernel older than O_TMPFILE sees only O_DIRECTORY.
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

bool hardLinksUnsupported(int err) {
  return err == EPERM || err == ENOSYS || err == EOPNOTSUPP;
}

}  // namespace

std::unique_ptr<DurableFile> DurableFile::create(const std::string& directory,
                                                 const std::string& finalName,
                                                 DeviceError* error) {
  if (!isSafeFileName(finalName)) {
    *error = {"Refusing to save a file as \"" + std::string(finalName.c_str()) +
                  "\": the name must be one file name, without '/'.",
              FailureCode::destinationFailed};
    return nullptr;
  }
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    int err = errno;
    *error = {"Could not open the folder " + directory + ": " + std::strerror(err),
              destinationFailureCode(err)};
    return nullptr;
  }
  sweepLeftoversOnce(dirFd, directory);
  std::string tempName;
  int fd = openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && unnamedFilesUnsupported(errno)) fd = createLockedTemporary(dirFd, &tempName);
  if (fd < 0) {
    int err = errno;
    close(dirFd);
    *error = {"Could not create a file in " + directory + ": " + std::strerror(err),
              destinationFailureCode(err)};
    return nullptr;
  }
  return std::unique_ptr<DurableFile>(
      new DurableFile(dirFd, fd, directory, std::move(tempName), finalName));
}

// A new hidden file, locked, that no sweep removed before the lock was taken.
// Returns -1 with errno set on failure.
int DurableFile::createLockedTemporary(int dirFd, std::string* tempName) {
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    std::string name = std::string(kTempPrefix) + randomSuffix() + std::string(kTempSuffix);
    int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // A sweep by another run may hold it, and remove it, in the instant before
    // the lock. Where the file system has no locks, no sweep can take one either.
    const bool heldElsewhere = !tryLockExclusive(fd) && (errno == EAGAIN || errno == EACCES);
    if (!heldElsewhere && nameIsFile(dirFd, name.c_str(), fd)) {
      *tempName = std::move(name);
      return fd;
    }
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

DurableFile::DurableFile(int dirFd, int fd, std::string directory, std::string tempName,
                         std::string finalName)
    : dirFd_(dirFd),
      fd_(fd),
      directory_(std::move(directory)),
      tempName_(std::move(tempName)),
      finalName_(std::move(finalName)) {}

DurableFile::~DurableFile() {
  discard();
  close(fd_);
  close(dirFd_);
}

// An unnamed file needs nothing: closing it frees it.
void DurableFile::discard() {
  if (!done_ && !tempName_.empty()) unlinkat(dirFd_, tempName_.c_str(), 0);
  done_ = true;
}

DeviceError DurableFile::errnoError(const std::string& what, int err) const {
  return {what + " " + joinPath(directory_, finalName_) + ": " + std::strerror(err),
          destinationFailureCode(err)};
}

std::optional<DeviceError> DurableFile::append(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoError("Could not write", errno);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::fail(DeviceError error) {
  discard();
  return error;
}

std::optional<DeviceError> DurableFile::finishWriting(std::int64_t expectedSize,
                                                      std::optional<std::int64_t> mtime) {
  if (done_) return DeviceError{"The file " + finalName_ + " was already finished"};
  struct stat st {};
  if (fstat(fd_, &st) != 0) return fail(errnoError("Could not check", errno));
  if (expectedSize >= 0 && st.st_size != expectedSize) {
    return fail({"The copy of " + finalName_ + " in " + directory_ + " is incomplete: " +
                 std::to_string(st.st_size) + " of " + std::to_string(expectedSize) +
                     " bytes arrived (the destination may be full, or the device stopped "
                     "sending); nothing was saved.",
                 FailureCode::incomplete});
  }
  if (mtime) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(*mtime);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (futimens(fd_, times) != 0) return fail(errnoError("Could not set the date of", errno));
  }
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::flushData() {
  if (done_) return DeviceError{"The file " + finalName_ + " was already finished"};
  if (fdatasync(fd_) != 0) return fail(errnoError("Could not flush", errno));
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::claimName(const std::string& name,
                                                  std::string* savedName) {
  if (done_) return DeviceError{"The file " + finalName_ + " was already finished"};
  if (!isSafeFileName(name)) {
    return fail({"Refusing to save a file as \"" + std::string(name.c_str()) +
                     "\": the name must be one file name, without '/'.",
                 FailureCode::destinationFailed});
  }
  finalName_ = name;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::string candidate = numberedFileName(finalName_, attempt);
    int err = claim(candidate);
    if (err == EEXIST) continue;
    if (err != 0) return fail(errnoError("Could not name", err));
    done_ = true;
    if (savedName) *savedName = candidate;
    // The name is on disk only once the file's own inode (its new link count)
    // and the folder are: journal-less ext4 writes that inode only when the
    // file is flushed, and a failing XFS answers the folder's flush with
    // success but the file's with EIO. The data were flushed before naming,
    // so whatever stands under the name is complete either way.
    if (fsync(fd_) != 0) return errnoError("Could not flush", errno);
    if (fsync(dirFd_) != 0) {
      return errnoError("Could not flush the folder entry of", errno);
    }
    return std::nullopt;
  }
  return fail({"Every name like " + finalName_ + " is taken in " + directory_,
               FailureCode::namesTaken});
}

std::optional<DeviceError> DurableFile::commit(std::int64_t expectedSize,
                                               std::optional<std::int64_t> mtime,
                                               std::string* savedName) {
  if (auto failed = finishWriting(expectedSize, mtime)) return failed;
  if (auto failed = flushData()) return failed;
  return claimName(finalName_, savedName);
}

int DurableFile::claim(const std::string& candidate) {
  if (tempName_.empty()) {
    // linkat never replaces. The /proc route needs no privilege; AT_EMPTY_PATH
    // serves where /proc is not mounted.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (linkat(AT_FDCWD, self.c_str(), dirFd_, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return 0;
    }
    if (errno != ENOENT) return errno;
    return linkat(fd_, "", dirFd_, candidate.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
  }
  if (renameat2(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  return claimByLink(candidate);
}

// Without a no-replace rename: a hard link never replaces either.
int DurableFile::claimByLink(const std::string& candidate) {
  if (linkat(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), 0) == 0) {
    unlinkat(dirFd_, tempName_.c_str(), 0);
    return 0;
  }
  if (!hardLinksUnsupported(errno)) return errno;
  return claimByPlaceholder(candidate);
}

// FAT and exFAT have neither, and their rename replaces. The name is taken
// with O_EXCL as an empty file, which the complete file then replaces: no
// existing file is ever replaced, and no partial file stands under the name.
// What remains: a run ended between the two steps (an instant) leaves that
// empty file under the final name, never counted.
int DurableFile::claimByPlaceholder(const std::string& candidate) {
  int placeholder =
      openat(dirFd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (placeholder < 0) return errno;
  close(placeholder);
  if (renameat(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str()) == 0) return 0;
  int err = errno;
  unlinkat(dirFd_, candidate.c_str(), 0);
  return err;
}

}  // namespace picferry
