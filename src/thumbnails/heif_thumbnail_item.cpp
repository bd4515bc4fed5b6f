#include "thumbnails/heif_thumbnail_item.h"

#include <map>
#include <string>

#include "thumbnails/byte_cursor.h"

namespace picferry {
namespace {

struct Box {
  std::string_view type;
  std::string_view body;
  std::size_t bodyAt = 0;  // within what was walked
};

// The boxes one after another in `bytes`; stops at the first that does not fit.
std::vector<Box> boxesIn(std::string_view bytes) {
  std::vector<Box> boxes;
  ByteCursor cursor(bytes);
  while (cursor.left() >= 8) {
    const std::size_t start = cursor.position();
    std::uint64_t size = cursor.u32();
    const auto type = cursor.text(4);
    if (size == 1) size = cursor.number(8);
    if (size == 0) size = bytes.size() - start;
    const std::size_t header = cursor.position() - start;
    if (!cursor.ok() || size < header || size - header > cursor.left()) break;
    boxes.push_back({type, bytes.substr(cursor.position(), size - header), cursor.position()});
    cursor.skip(size - header);
  }
  return boxes;
}

// A full box's version; its flags are skipped.
unsigned version(ByteCursor& cursor) {
  const auto value = static_cast<unsigned>(cursor.number(1));
  cursor.skip(3);
  return value;
}

std::optional<std::uint32_t> primaryItem(std::string_view pitm) {
  ByteCursor cursor(pitm);
  const auto id = version(cursor) == 0 ? cursor.u16() : cursor.u32();
  return cursor.ok() ? std::optional(id) : std::nullopt;
}

// The first item with a 'thmb' reference to `primary`.
std::optional<std::uint32_t> thumbnailOf(std::string_view iref, std::uint32_t primary) {
  ByteCursor header(iref);
  const unsigned idSize = version(header) == 0 ? 2 : 4;
  if (!header.ok()) return std::nullopt;
  for (const Box& reference : boxesIn(iref.substr(4))) {
    if (reference.type != "thmb") continue;
    ByteCursor cursor(reference.body);
    const auto from = static_cast<std::uint32_t>(cursor.number(idSize));
    const unsigned count = cursor.u16();
    for (unsigned i = 0; i < count && cursor.ok(); ++i) {
      if (cursor.number(idSize) == primary && cursor.ok()) return from;
    }
  }
  return std::nullopt;
}

struct Location {
  unsigned method = 0;  // 0: file offsets, 1: inside idat
  std::vector<FileExtent> extents;
};

std::optional<Location> locationOf(std::string_view iloc, std::uint32_t item) {
  ByteCursor cursor(iloc);
  const unsigned v = version(cursor);
  const auto sizes = cursor.u16();
  const unsigned offsetSize = sizes >> 12, lengthSize = sizes >> 8 & 0xF,
                 baseSize = sizes >> 4 & 0xF, indexSize = v >= 1 ? sizes & 0xF : 0;
  const std::uint32_t count = v < 2 ? cursor.u16() : cursor.u32();
  for (std::uint32_t i = 0; i < count && cursor.ok(); ++i) {
    const auto id = v < 2 ? cursor.u16() : cursor.u32();
    Location location;
    if (v >= 1) location.method = cursor.u16() & 0xF;
    cursor.skip(2);  // data reference index
    const auto base = cursor.number(baseSize);
    const unsigned extents = cursor.u16();
    for (unsigned e = 0; e < extents && cursor.ok(); ++e) {
      cursor.skip(indexSize);
      const auto offset = cursor.number(offsetSize);
      const auto length = cursor.number(lengthSize);
      location.extents.push_back({base + offset, length});
    }
    if (cursor.ok() && id == item) return location;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<FileExtent>> heifThumbnailExtents(std::string_view metaBody,
                                                            std::uint64_t metaBodyOffset) {
  if (metaBody.size() < 4) return std::nullopt;
  std::map<std::string_view, Box> found;
  for (const Box& box : boxesIn(metaBody.substr(4))) found.emplace(box.type, box);
  if (!found.count("pitm") || !found.count("iref") || !found.count("iloc")) return std::nullopt;
  const auto primary = primaryItem(found["pitm"].body);
  const auto thumbnail = primary ? thumbnailOf(found["iref"].body, *primary) : std::nullopt;
  auto location = thumbnail ? locationOf(found["iloc"].body, *thumbnail) : std::nullopt;
  if (!location || location->extents.empty()) return std::nullopt;
  if (location->method == 1) {
    const auto idat = found.find("idat");
    if (idat == found.end()) return std::nullopt;
    const std::uint64_t start = metaBodyOffset + 4 + idat->second.bodyAt;
    for (FileExtent& extent : location->extents) {
      if (extent.offset > idat->second.body.size() ||
          extent.length > idat->second.body.size() - extent.offset) {
        return std::nullopt;
      }
      extent.offset += start;
    }
  } else if (location->method != 0) {
    return std::nullopt;
  }
  for (const FileExtent& extent : location->extents) {
    if (extent.length == 0) return std::nullopt;  // "to the end of the file": not a thumbnail
  }
  return location->extents;
}

}  // namespace picferry
