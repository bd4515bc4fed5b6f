#pragma once

#include <optional>

#include "thumbnails/thumbnail_source.h"
#include "thumbnails/thumbnail_wire.h"

namespace picferry {

// Thumbnails are at most this many pixels on their long side.
constexpr int kThumbnailLongSide = 320;

// Decodes what the source offers (the device's thumbnail, else the EXIF
// thumbnail of a JPEG, else the thumbnail item of a HEIF file, else the whole
// photo when the source holds it), turns it upright, shrinks it and encodes
// it as a JPEG. Absent when the source offers nothing that decodes. Runs the
// decoding libraries on bytes from a device: call it only in the thumbnailer.
std::optional<Thumbnail> makeThumbnail(const ThumbnailSource& source);

// The HEIF part (heif_thumbnail.cpp): the primary image's thumbnail, or with
// `wholeImage` the primary image, already upright (libheif applies the
// item's rotation and mirroring).
struct Raster;
std::optional<Raster> decodeHeif(const ThumbnailSource& source, bool wholeImage);

}  // namespace picferry
