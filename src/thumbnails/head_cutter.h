#pragma once

#include <cstdint>
#include <string>

#include "thumbnails/thumbnail_source.h"

namespace picferry {

// What is read of a file for its thumbnail, at most: a JPEG's head up to the
// end of its EXIF segment, a HEIF file's boxes up to its metadata and its
// thumbnail item's data; or a JPEG or HEIF file whole when it holds no
// thumbnail and is no larger than kWholeFileBound.
constexpr std::size_t kFirstRead = 64 << 10;
constexpr std::int64_t kWholeFileBound = 1 << 20;
constexpr std::int64_t kMaxSourceBytes = 1 << 20;

// Reads from `read` what the file offers towards its thumbnail (never more
// than kMaxSourceBytes) and where it says so, the photo's orientation.
// `deviceThumbnail`: the device's own, when it gave one; then only enough of
// a JPEG's head is read to learn the orientation. Whatever the bytes, returns
// (an empty source when they offer nothing usable).
ThumbnailSource cutThumbnailSource(const HeadReader& read, std::int64_t fileSize,
                                   std::string deviceThumbnail = {});

}  // namespace picferry
