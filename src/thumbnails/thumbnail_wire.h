#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "thumbnails/thumbnail_source.h"

namespace picferry {

// A finished thumbnail: an upright JPEG and its size in pixels.
struct Thumbnail {
  int width = 0;
  int height = 0;
  std::string jpeg;
};

// What picferry and its thumbnailer send each other: a
// source one way, a thumbnail (or word that there is none) the other. Each
// message is its length (4 bytes) then its body; a body that does not read
// back whole is refused.
constexpr std::uint32_t kMaxMessageBytes = 8 << 20;

std::string encodeSource(const ThumbnailSource& source);
std::optional<ThumbnailSource> decodeSource(std::string_view body);
// An absent thumbnail is sent as an empty one.
std::string encodeThumbnail(const std::optional<Thumbnail>& thumbnail);
std::optional<std::optional<Thumbnail>> decodeThumbnail(std::string_view body);

// The length prefix of a message whose body is `size` bytes.
std::string messageHeader(std::size_t size);
// The body length a header announces; absent when it is out of bounds.
std::optional<std::uint32_t> messageLength(std::string_view header);

}  // namespace picferry
