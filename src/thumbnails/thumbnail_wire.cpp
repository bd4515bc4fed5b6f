#include "thumbnails/thumbnail_wire.h"

#include "thumbnails/byte_cursor.h"

namespace picferry {
namespace {

void put(std::string& out, std::uint64_t value, unsigned size) {
  for (unsigned i = size; i-- > 0;) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

void putBytes(std::string& out, std::string_view bytes) {
  put(out, bytes.size(), 4);
  out += bytes;
}

std::optional<std::string> takeBytes(ByteCursor& cursor) {
  const auto size = cursor.u32();
  auto bytes = cursor.text(size);
  return cursor.ok() ? std::optional(std::string(bytes)) : std::nullopt;
}

}  // namespace

std::string encodeSource(const ThumbnailSource& source) {
  std::string out;
  put(out, static_cast<std::uint64_t>(source.fileSize), 8);
  put(out, static_cast<std::uint64_t>(source.orientation), 1);
  putBytes(out, source.deviceThumbnail);
  put(out, source.ranges.size(), 4);
  for (const auto& range : source.ranges) {
    put(out, range.offset, 8);
    putBytes(out, range.bytes);
  }
  return out;
}

std::optional<ThumbnailSource> decodeSource(std::string_view body) {
  ByteCursor cursor(body);
  ThumbnailSource source;
  source.fileSize = static_cast<std::int64_t>(cursor.number(8));
  source.orientation = static_cast<int>(cursor.number(1));
  auto thumbnail = takeBytes(cursor);
  if (!thumbnail) return std::nullopt;
  source.deviceThumbnail = std::move(*thumbnail);
  const auto count = cursor.u32();
  for (std::uint32_t i = 0; i < count && cursor.ok(); ++i) {
    const auto offset = cursor.number(8);
    auto bytes = takeBytes(cursor);
    if (!bytes) return std::nullopt;
    source.ranges.push_back({offset, std::move(*bytes)});
  }
  if (!cursor.ok() || cursor.left() != 0) return std::nullopt;
  return source;
}

std::string encodeThumbnail(const std::optional<Thumbnail>& thumbnail) {
  std::string out;
  put(out, thumbnail ? static_cast<std::uint64_t>(thumbnail->width) : 0, 4);
  put(out, thumbnail ? static_cast<std::uint64_t>(thumbnail->height) : 0, 4);
  if (thumbnail) out += thumbnail->jpeg;
  return out;
}

std::optional<std::optional<Thumbnail>> decodeThumbnail(std::string_view body) {
  ByteCursor cursor(body);
  const auto width = cursor.u32();
  const auto height = cursor.u32();
  if (!cursor.ok()) return std::nullopt;
  if (width == 0 && height == 0 && cursor.left() == 0) return std::optional<Thumbnail>();
  if (width == 0 || height == 0 || width > 4096 || height > 4096 || cursor.left() == 0) {
    return std::nullopt;
  }
  return std::optional<Thumbnail>(Thumbnail{static_cast<int>(width), static_cast<int>(height),
                                            std::string(body.substr(8))});
}

std::string messageHeader(std::size_t size) {
  std::string out;
  put(out, size, 4);
  return out;
}

std::optional<std::uint32_t> messageLength(std::string_view header) {
  ByteCursor cursor(header);
  const auto size = cursor.u32();
  if (!cursor.ok() || size > kMaxMessageBytes) return std::nullopt;
  return size;
}

}  // namespace picferry
