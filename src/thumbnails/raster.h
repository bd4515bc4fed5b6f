#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace picferry {

// An RGB picture, 3 bytes a pixel, rows top to bottom.
struct Raster {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// Turns the picture upright from its EXIF orientation (1-8).
Raster orient(const Raster& in, int orientation);
// Shrinks the picture, keeping its aspect, so that its long side is at most
// `longSide` (averaging the pixels each new one covers); a smaller one is kept.
Raster fitWithin(const Raster& in, int longSide);

// libjpeg-turbo. `minLongSide`: decode at the smallest scale that keeps the
// long side at least this (the DCT scaling of the decoder). Absent for any
// error or warning, and for a picture of more than kMaxDecodedPixels.
constexpr std::int64_t kMaxDecodedPixels = 64 << 20;
std::optional<Raster> decodeJpeg(std::string_view jpeg, int minLongSide);
std::optional<std::string> encodeJpeg(const Raster& raster);

}  // namespace picferry
