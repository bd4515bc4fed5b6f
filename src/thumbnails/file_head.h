#pragma once

#include <cstdint>
#include <string>

#include "thumbnails/thumbnail_source.h"

namespace picferry {

// The first bytes of a file, read as far as asked and no further.
class FileHead {
 public:
  // Never reads past `limit` bytes of the head.
  FileHead(const HeadReader& read, std::int64_t fileSize, std::uint64_t limit)
      : read_(read), fileSize_(fileSize), limit_(limit) {}

  // Whether the first `length` bytes are held, reading what is missing.
  bool ensure(std::uint64_t length);
  const std::string& bytes() const { return bytes_; }
  std::int64_t fileSize() const { return fileSize_; }
  std::int64_t bytesRead() const { return bytesRead_; }
  // Reads `length` bytes at `offset` apart from the head; counted in bytesRead.
  std::optional<std::string> readAt(std::uint64_t offset, std::uint64_t length);

 private:
  const HeadReader& read_;
  const std::int64_t fileSize_;
  const std::uint64_t limit_;
  std::string bytes_;
  std::int64_t bytesRead_ = 0;
  bool failed_ = false;
};

}  // namespace picferry
