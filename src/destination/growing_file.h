#pragma once

#include <cstdint>

namespace picferry {

// How far a file being written has grown, readable on any thread while the
// writer goes on, and after the writer has closed it: it looks through a
// descriptor of its own and never touches the writer's.
class GrowingFile {
 public:
  // Duplicates `fd`; when that fails, the size reads as 0.
  explicit GrowingFile(int fd);
  ~GrowingFile();
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // The bytes written so far (0 when they cannot be known).
  std::int64_t size() const;

 private:
  int fd_;
};

}  // namespace picferry
