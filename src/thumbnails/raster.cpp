#include "thumbnails/raster.h"

#include <turbojpeg.h>

#include <algorithm>
#include <memory>

namespace picferry {

Raster orient(const Raster& in, int orientation) {
  if (orientation < 2 || orientation > 8) return in;
  const bool swap = orientation >= 5;
  Raster out{swap ? in.height : in.width, swap ? in.width : in.height, {}};
  out.pixels.resize(in.pixels.size());
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      // The source pixel shown at (x, y) once upright.
      int sx = x, sy = y;
      switch (orientation) {
        case 2: sx = in.width - 1 - x; break;
        case 3: sx = in.width - 1 - x; sy = in.height - 1 - y; break;
        case 4: sy = in.height - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = in.height - 1 - x; break;
        case 7: sx = in.width - 1 - y; sy = in.height - 1 - x; break;
        case 8: sx = in.width - 1 - y; sy = x; break;
      }
      const auto from = (static_cast<std::size_t>(sy) * in.width + sx) * 3;
      const auto to = (static_cast<std::size_t>(y) * out.width + x) * 3;
      std::copy_n(&in.pixels[from], 3, &out.pixels[to]);
    }
  }
  return out;
}

Raster fitWithin(const Raster& in, int longSide) {
  const int longest = std::max(in.width, in.height);
  if (longest <= longSide) return in;
  Raster out;
  out.width = std::max(1, static_cast<int>(static_cast<std::int64_t>(in.width) * longSide / longest));
  out.height = std::max(1, static_cast<int>(static_cast<std::int64_t>(in.height) * longSide / longest));
  out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
  for (int y = 0; y < out.height; ++y) {
    const int y0 = static_cast<int>(static_cast<std::int64_t>(y) * in.height / out.height);
    const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<std::int64_t>(y + 1) * in.height / out.height));
    for (int x = 0; x < out.width; ++x) {
      const int x0 = static_cast<int>(static_cast<std::int64_t>(x) * in.width / out.width);
      const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<std::int64_t>(x + 1) * in.width / out.width));
      unsigned sum[3] = {0, 0, 0};
      for (int sy = y0; sy < y1; ++sy) {
        for (int sx = x0; sx < x1; ++sx) {
          const auto at = (static_cast<std::size_t>(sy) * in.width + sx) * 3;
          for (int c = 0; c < 3; ++c) sum[c] += in.pixels[at + c];
        }
      }
      const unsigned count = static_cast<unsigned>((y1 - y0) * (x1 - x0));
      const auto to = (static_cast<std::size_t>(y) * out.width + x) * 3;
      for (int c = 0; c < 3; ++c) out.pixels[to + c] = static_cast<std::uint8_t>(sum[c] / count);
    }
  }
  return out;
}

namespace {

struct TjDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

}  // namespace

std::optional<Raster> decodeJpeg(std::string_view jpeg, int minLongSide) {
  TjHandle tj(tjInitDecompress());
  if (!tj) return std::nullopt;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.get(), data, jpeg.size(), &width, &height, &subsampling,
                          &colorspace) != 0 ||
      width <= 0 || height <= 0 ||
      static_cast<std::int64_t>(width) * height > kMaxDecodedPixels) {
    return std::nullopt;
  }
  // The smallest scale that keeps the long side at minLongSide.
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  tjscalingfactor chosen{1, 1};
  for (int i = 0; factors && i < count; ++i) {
    const int side = TJSCALED(std::max(width, height), factors[i]);
    if (side >= minLongSide && side < TJSCALED(std::max(width, height), chosen)) chosen = factors[i];
  }
  Raster raster{TJSCALED(width, chosen), TJSCALED(height, chosen), {}};
  raster.pixels.resize(static_cast<std::size_t>(raster.width) * raster.height * 3);
  if (tjDecompress2(tj.get(), data, jpeg.size(), raster.pixels.data(), raster.width, 0,
                    raster.height, TJPF_RGB, TJFLAG_STOPONWARNING) != 0) {
    return std::nullopt;
  }
  return raster;
}

std::optional<std::string> encodeJpeg(const Raster& raster) {
  TjHandle tj(tjInitCompress());
  if (!tj) return std::nullopt;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  constexpr int kQuality = 85;
  if (tjCompress2(tj.get(), raster.pixels.data(), raster.width, 0, raster.height, TJPF_RGB, &out,
                  &size, TJSAMP_420, kQuality, 0) != 0) {
    tjFree(out);
    return std::nullopt;
  }
  std::string jpeg(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  return jpeg;
}

}  // namespace picferry
