#include "thumbnails/head_cutter.h"

#include <algorithm>
#include <optional>

#include "thumbnails/byte_cursor.h"
#include "thumbnails/exif_orientation.h"
#include "thumbnails/file_head.h"
#include "thumbnails/heif_thumbnail_item.h"

namespace picferry {
namespace {

// Segments before the EXIF one are few and small; a head that needs more
// than this before it holds no EXIF segment worth reading.
constexpr std::uint64_t kMaxExifEnd = 256 << 10;
// An orientation is near the start of the EXIF segment: this much of the
// head is read for it when the device gave its own thumbnail.
constexpr std::size_t kOrientationHead = 4 << 10;

bool isJpeg(const std::string& head) { return head.rfind("\xFF\xD8\xFF", 0) == 0; }

bool isHeif(const std::string& head) {
  if (head.size() < 12 || head.compare(4, 4, "ftyp") != 0) return false;
  const auto brand = head.substr(8, 4);
  return brand == "heic" || brand == "heix" || brand == "mif1" || brand == "msf1" ||
         brand == "heim" || brand == "heis" || brand == "avif";
}

// Where the EXIF segment of a JPEG lies: [start of its TIFF block, end).
struct ExifSegment {
  std::uint64_t tiff = 0;
  std::uint64_t end = 0;
};

// Walks the JPEG's markers from the start, reading the head as it goes, to
// the APP1 segment that holds EXIF; stops at the image data.
std::optional<ExifSegment> findExif(FileHead& head, std::uint64_t limit) {
  std::uint64_t at = 2;
  for (int segments = 0; segments < 64 && at + 4 <= limit && head.ensure(at + 4); ++segments) {
    ByteCursor cursor(std::string_view(head.bytes()).substr(at, 4));
    const auto marker = cursor.u16();
    const auto length = cursor.u16();
    if (marker >> 8 != 0xFF || marker == 0xFFDA || marker == 0xFFD9 || length < 2) break;
    const std::uint64_t end = at + 2 + length;
    if (marker == 0xFFE1 && head.ensure(std::min<std::uint64_t>(end, at + 10)) &&
        head.bytes().compare(at + 4, 6, std::string("Exif\0\0", 6)) == 0) {
      return ExifSegment{at + 10, end};
    }
    at = end;
  }
  return std::nullopt;
}

ThumbnailSource whole(FileHead& head, ThumbnailSource source) {
  if (head.fileSize() > kWholeFileBound || !head.ensure(head.fileSize())) return source;
  source.ranges = {{0, head.bytes().substr(0, head.fileSize())}};
  return source;
}

ThumbnailSource fromJpeg(FileHead& head, ThumbnailSource source) {
  const bool haveThumbnail = !source.deviceThumbnail.empty();
  const auto exif = findExif(head, haveThumbnail ? kOrientationHead : kMaxExifEnd);
  if (exif) {
    const auto held = std::min<std::uint64_t>(head.bytes().size(), exif->end);
    source.orientation =
        exifOrientation(std::string_view(head.bytes()).substr(exif->tiff, held - exif->tiff));
  }
  if (haveThumbnail) return source;
  if (exif && head.ensure(exif->end)) {
    source.ranges = {{0, head.bytes().substr(0, exif->end)}};
    return source;
  }
  return whole(head, std::move(source));
}

// Bytes at `offset`, from the head when it holds them.
std::optional<std::string> bytesAt(FileHead& head, std::uint64_t offset, std::uint64_t length) {
  if (offset + length <= head.bytes().size()) return head.bytes().substr(offset, length);
  return head.readAt(offset, length);
}

// The thumbnail item of a HEIF file: the top-level box headers up to 'meta',
// the whole 'meta', and the item's data wherever it lies.
ThumbnailSource fromHeif(FileHead& head, ThumbnailSource source) {
  const auto fileSize = static_cast<std::uint64_t>(head.fileSize());
  std::vector<FileRange> ranges{{0, head.bytes()}};
  std::uint64_t at = 0;
  for (int boxes = 0; boxes < 16 && at + 8 <= fileSize; ++boxes) {
    auto header = bytesAt(head, at, std::min<std::uint64_t>(16, fileSize - at));
    if (!header) break;
    ByteCursor cursor(*header);
    std::uint64_t size = cursor.u32();
    const auto type = std::string(cursor.text(4));
    std::uint64_t headerSize = 8;
    if (size == 1) {
      size = cursor.number(8);
      headerSize = 16;
    }
    if (size == 0) size = fileSize - at;
    if (!cursor.ok() || size < headerSize || size > fileSize - at) break;
    if (at >= head.bytes().size()) ranges.push_back({at, std::move(*header)});
    if (type != "meta") {
      at += size;
      continue;
    }
    if (size > static_cast<std::uint64_t>(kMaxSourceBytes)) break;
    auto meta = bytesAt(head, at, size);
    if (!meta) break;
    const auto extents = heifThumbnailExtents(
        std::string_view(*meta).substr(headerSize), at + headerSize);
    if (!extents) break;
    std::uint64_t total = head.bytes().size() + size;
    for (const auto& extent : *extents) total += extent.length;
    if (total > static_cast<std::uint64_t>(kMaxSourceBytes)) break;
    if (at + size > head.bytes().size()) ranges.push_back({at, std::move(*meta)});
    for (const auto& extent : *extents) {
      if (extent.offset + extent.length <= head.bytes().size()) continue;  // held already
      if (extent.offset > fileSize || extent.length > fileSize - extent.offset) return source;
      auto bytes = head.readAt(extent.offset, extent.length);
      if (!bytes) return source;
      ranges.push_back({extent.offset, std::move(*bytes)});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const auto& a, const auto& b) { return a.offset < b.offset; });
    source.ranges = std::move(ranges);
    return source;
  }
  return whole(head, std::move(source));
}

}  // namespace

ThumbnailSource cutThumbnailSource(const HeadReader& read, std::int64_t fileSize,
                                   std::string deviceThumbnail) {
  ThumbnailSource source;
  source.fileSize = fileSize;
  source.deviceThumbnail = std::move(deviceThumbnail);
  const std::size_t first = source.deviceThumbnail.empty() ? kFirstRead : kOrientationHead;
  FileHead head(read, fileSize,
                source.deviceThumbnail.empty() ? kWholeFileBound : kOrientationHead);
  head.ensure(std::min<std::uint64_t>(first, fileSize < 0 ? 0 : fileSize));
  if (isJpeg(head.bytes())) {
    source = fromJpeg(head, std::move(source));
  } else if (isHeif(head.bytes()) && source.deviceThumbnail.empty()) {
    source = fromHeif(head, std::move(source));
  }
  source.bytesRead = head.bytesRead() + static_cast<std::int64_t>(source.deviceThumbnail.size());
  return source;
}

}  // namespace picferry
