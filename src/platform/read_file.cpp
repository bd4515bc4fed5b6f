#include "platform/read_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace picferry {

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* contents) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return path + ": " + std::strerror(errno);
  contents->clear();
  char buffer[1 << 16];
  std::optional<std::string> failure;
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failure = path + ": " + std::strerror(errno);
      break;
    }
    if (got == 0) break;
    if (contents->size() + static_cast<std::size_t>(got) > maxBytes) {
      failure = path + ": larger than " + std::to_string(maxBytes) + " bytes";
      break;
    }
    contents->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return failure;
}

}  // namespace picferry
