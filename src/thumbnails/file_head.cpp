#include "thumbnails/file_head.h"

#include <algorithm>

namespace picferry {

bool FileHead::ensure(std::uint64_t length) {
  if (length <= bytes_.size()) return true;
  if (failed_ || fileSize_ < 0 || length > static_cast<std::uint64_t>(fileSize_) ||
      length > limit_) {
    return false;
  }
  // Reads in whole steps: the next field usually lies just beyond the last.
  constexpr std::uint64_t kStep = 16 << 10;
  const std::uint64_t want =
      std::min({std::max<std::uint64_t>(length, bytes_.size() + kStep),
                static_cast<std::uint64_t>(fileSize_), limit_});
  auto more = readAt(bytes_.size(), want - bytes_.size());
  if (!more) {
    failed_ = true;
    return false;
  }
  bytes_ += *more;
  return length <= bytes_.size();
}

std::optional<std::string> FileHead::readAt(std::uint64_t offset, std::uint64_t length) {
  auto got = read_(offset, static_cast<std::size_t>(length));
  if (!got) return std::nullopt;
  bytesRead_ += static_cast<std::int64_t>(got->size());
  if (got->size() != length) return std::nullopt;  // the file is shorter than it said
  return got;
}

}  // namespace picferry
