#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace picferry {

// Where a piece of an item's data lies in the file.
struct FileExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// The file extents of the thumbnail item of a HEIF file's primary image, from
// the body of its 'meta' box (after the box header) found at `metaOffset`:
// pitm, iinf, iref (thmb) and iloc read. Absent when there is none, or when
// the boxes cannot be read. Data inside the meta box (iloc's idat method)
// comes back as the extent it occupies in the file.
std::optional<std::vector<FileExtent>> heifThumbnailExtents(std::string_view metaBody,
                                                            std::uint64_t metaBodyOffset);

}  // namespace picferry
