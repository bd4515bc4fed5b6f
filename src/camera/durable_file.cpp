#include "camera/durable_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/paths.h"

namespace picferry {
namespace {

constexpr int kMaxNameAttempts = 10000;
constexpr int kMaxTempAttempts = 100;

std::string randomSuffix() {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[6];
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
  for (unsigned char b : bytes) s += kAlphabet[b % (sizeof kAlphabet - 1)];
  return s;
}

}  // namespace

std::unique_ptr<DurableFile> DurableFile::create(const std::string& directory,
                                                 const std::string& finalName,
                                                 DeviceError* error) {
  if (!isSafeFileName(finalName)) {
    *error = {"Refusing to save a file as \"" + std::string(finalName.c_str()) +
              "\": the name must be one file name, without '/'."};
    return nullptr;
  }
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    int err = errno;
    *error = {"Could not open the folder " + directory + ": " + std::strerror(err)};
    return nullptr;
  }
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    std::string tempName = ".picferry-" + randomSuffix() + ".part";
    int fd = openat(dirFd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      return std::unique_ptr<DurableFile>(
          new DurableFile(dirFd, fd, directory, std::move(tempName), finalName));
    }
    if (errno != EEXIST) {
      int err = errno;
      close(dirFd);
      *error = {"Could not create a file in " + directory + ": " + std::strerror(err)};
      return nullptr;
    }
  }
  close(dirFd);
  *error = {"Could not find a free temporary name in " + directory};
  return nullptr;
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

void DurableFile::discard() {
  if (!done_) {
    unlinkat(dirFd_, tempName_.c_str(), 0);
    done_ = true;
  }
}

DeviceError DurableFile::errnoError(const std::string& what, int err) const {
  return {what + " " + joinPath(directory_, finalName_) + ": " + std::strerror(err)};
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

std::optional<DeviceError> DurableFile::commit(std::int64_t expectedSize,
                                               std::optional<std::int64_t> mtime,
                                               std::string* savedName) {
  if (done_) return DeviceError{"The file " + finalName_ + " was already finished"};
  auto fail = [this](DeviceError e) {
    discard();
    return std::optional<DeviceError>(std::move(e));
  };
  struct stat st {};
  if (fstat(fd_, &st) != 0) return fail(errnoError("Could not check", errno));
  if (expectedSize >= 0 && st.st_size != expectedSize) {
    return fail({"The copy of " + finalName_ + " in " + directory_ + " is incomplete: " +
                 std::to_string(st.st_size) + " of " + std::to_string(expectedSize) +
                 " bytes arrived (the destination may be full, or the device stopped "
                 "sending); nothing was saved."});
  }
  if (mtime) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(*mtime);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (futimens(fd_, times) != 0) return fail(errnoError("Could not set the date of", errno));
  }
  if (fdatasync(fd_) != 0) return fail(errnoError("Could not flush", errno));

  bool canRename = true;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::string candidate = numberedFileName(finalName_, attempt);
    if (canRename) {
      if (renameat2(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), RENAME_NOREPLACE) == 0) {
        done_ = true;
        if (savedName) *savedName = candidate;
        return std::nullopt;
      }
      if (errno == EEXIST) continue;
      if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return fail(errnoError("Could not name", errno));
      }
      canRename = false;  // No no-replace rename here: a hard link never replaces either.
    }
    if (linkat(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), 0) == 0) {
      discard();
      done_ = true;
      if (savedName) *savedName = candidate;
      return std::nullopt;
    }
    if (errno != EEXIST) return fail(errnoError("Could not name", errno));
  }
  return fail({"Every name like " + finalName_ + " is taken in " + directory_});
}

}  // namespace picferry
