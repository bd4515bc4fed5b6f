#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace picferry {

// Bytes of a file at an offset.
struct FileRange {
  std::uint64_t offset = 0;
  std::string bytes;
};

// What a file offers towards its thumbnail, as read from the device: the
// device's own thumbnail, if it gave one, and the parts of the file that hold
// the embedded one (or the whole file, when it is small). Empty `ranges` and
// `deviceThumbnail`: nothing to offer.
struct ThumbnailSource {
  std::int64_t fileSize = 0;
  std::vector<FileRange> ranges;  // by offset; they may overlap
  std::string deviceThumbnail;    // a JPEG, as the device sent it
  int orientation = 1;            // EXIF orientation of the photo, 1-8
  std::int64_t bytesRead = 0;     // from the device, the thumbnail included

  bool empty() const { return ranges.empty() && deviceThumbnail.empty(); }
};

// Reads up to `length` bytes of the file at `offset`; fewer only at its end.
// Absent when the device fails.
using HeadReader = std::function<std::optional<std::string>(std::uint64_t offset,
                                                            std::size_t length)>;

}  // namespace picferry
