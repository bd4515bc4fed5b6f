#include "thumbnails/make_thumbnail.h"

#include <libexif/exif-data.h>

#include <memory>

#include "thumbnails/raster.h"

namespace picferry {
namespace {

// The EXIF thumbnail of a JPEG whose head is `head`.
std::optional<std::string> exifThumbnail(const std::string& head) {
  std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(
      exif_data_new_from_data(reinterpret_cast<const unsigned char*>(head.data()),
                              static_cast<unsigned>(head.size())),
      &exif_data_unref);
  if (!exif || !exif->data || exif->size == 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(exif->data), exif->size);
}

std::optional<Thumbnail> finish(std::optional<Raster> raster, int orientation) {
  if (!raster) return std::nullopt;
  const Raster upright = fitWithin(orient(*raster, orientation), kThumbnailLongSide);
  auto jpeg = encodeJpeg(upright);
  if (!jpeg) return std::nullopt;
  return Thumbnail{upright.width, upright.height, std::move(*jpeg)};
}

bool holdsWholeFile(const ThumbnailSource& source) {
  return source.ranges.size() == 1 && source.ranges[0].offset == 0 &&
         static_cast<std::int64_t>(source.ranges[0].bytes.size()) == source.fileSize;
}

}  // namespace

std::optional<Thumbnail> makeThumbnail(const ThumbnailSource& source) {
  if (!source.deviceThumbnail.empty()) {
    return finish(decodeJpeg(source.deviceThumbnail, kThumbnailLongSide), source.orientation);
  }
  if (source.ranges.empty() || source.ranges[0].offset != 0) return std::nullopt;
  const std::string& head = source.ranges[0].bytes;
  if (head.rfind("\xFF\xD8", 0) == 0) {
    if (auto thumbnail = exifThumbnail(head)) {
      if (auto made = finish(decodeJpeg(*thumbnail, kThumbnailLongSide), source.orientation)) {
        return made;
      }
    }
    if (!holdsWholeFile(source)) return std::nullopt;
    return finish(decodeJpeg(head, kThumbnailLongSide), source.orientation);
  }
  if (auto thumbnail = finish(decodeHeif(source, false), 1)) return thumbnail;
  if (!holdsWholeFile(source)) return std::nullopt;
  return finish(decodeHeif(source, true), 1);
}

}  // namespace picferry
