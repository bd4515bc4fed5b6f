#pragma once

#include <mutex>
#include <string_view>

#include "platform/services.h"

namespace picferry::os {

// Lines written with write(2) to a file descriptor (standard output in the
// program), unbuffered. The line and its '\n' go out under one lock, so lines
// from different threads never mix. Partial writes, EINTR and a descriptor
// left non-blocking are handled; any other failure (EPIPE when the reader has
// gone) drops the rest of the line silently. The descriptor is not owned.
class FdLineOutput final : public LineOutput {
 public:
  explicit FdLineOutput(int fd) : fd_(fd) {}

  void writeLine(std::string_view line) override;

 private:
  bool writeAll(std::string_view bytes);

  const int fd_;
  std::mutex mutex_;
};

}  // namespace picferry::os
