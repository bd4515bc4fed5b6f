#include "destination/growing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace picferry {

GrowingFile::GrowingFile(int fd) : fd_(fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}

GrowingFile::~GrowingFile() {
  if (fd_ >= 0) close(fd_);
}

std::int64_t GrowingFile::size() const {
  struct stat st {};
  return fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : 0;
}

}  // namespace picferry
