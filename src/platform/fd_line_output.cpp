#include "platform/fd_line_output.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace picferry::os {

void FdLineOutput::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (writeAll(line)) writeAll("\n");
}

bool FdLineOutput::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fd_, POLLOUT, 0};
      ::poll(&writable, 1, -1);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace picferry::os
