// HEIF through libheif's reader interface, given the parts of the file the
// source holds. libheif 1.15 reads every image item's data while it parses
// the file, the primary image's megabytes included, and aborts the process
// (an assertion) when such a read fails: the parts not held read as zeros,
// which only the thumbnail's decoding would look at, and it has them all.

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "thumbnails/make_thumbnail.h"
#include "thumbnails/raster.h"

namespace picferry {
namespace {

struct SparseFile {
  const ThumbnailSource& source;
  std::int64_t position = 0;

  // Copies [position, position + size) from the ranges that cover it, and
  // zeros where none does.
  bool read(void* data, std::size_t size) {
    auto* out = static_cast<char*>(data);
    std::uint64_t at = static_cast<std::uint64_t>(position);
    const std::uint64_t end = at + size;
    if (end > static_cast<std::uint64_t>(source.fileSize)) return false;
    while (at < end) {
      const FileRange* covering = nullptr;
      std::uint64_t next = end;  // where the next range begins
      for (const FileRange& range : source.ranges) {
        if (range.offset <= at && at < range.offset + range.bytes.size()) covering = &range;
        if (range.offset > at) next = std::min<std::uint64_t>(next, range.offset);
      }
      const auto n = covering ? std::min<std::uint64_t>(end - at, covering->offset +
                                                                      covering->bytes.size() - at)
                              : next - at;
      if (covering) {
        std::memcpy(out, covering->bytes.data() + (at - covering->offset), n);
      } else {
        std::memset(out, 0, n);
      }
      out += n;
      at += n;
    }
    position = static_cast<std::int64_t>(end);
    return true;
  }
};

const heif_reader kReader = {
    1,
    [](void* self) { return static_cast<SparseFile*>(self)->position; },
    [](void* data, std::size_t size, void* self) {
      return static_cast<SparseFile*>(self)->read(data, size) ? 0 : -1;
    },
    [](std::int64_t position, void* self) {
      auto* file = static_cast<SparseFile*>(self);
      if (position < 0 || position > file->source.fileSize) return -1;
      file->position = position;
      return 0;
    },
    [](std::int64_t size, void* self) {
      return size <= static_cast<SparseFile*>(self)->source.fileSize
                 ? heif_reader_grow_status_size_reached
                 : heif_reader_grow_status_size_beyond_eof;
    },
};

struct Freer {
  void operator()(heif_context* context) const { heif_context_free(context); }
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
  void operator()(heif_image* image) const { heif_image_release(image); }
};
using Context = std::unique_ptr<heif_context, Freer>;
using Handle = std::unique_ptr<heif_image_handle, Freer>;
using Image = std::unique_ptr<heif_image, Freer>;

std::optional<Raster> toRaster(const heif_image_handle* handle) {
  heif_image* decoded = nullptr;
  if (heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                        nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  Image image(decoded);
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  Raster raster{heif_image_get_width(image.get(), heif_channel_interleaved),
                heif_image_get_height(image.get(), heif_channel_interleaved),
                {}};
  if (!plane || raster.width <= 0 || raster.height <= 0 || stride < raster.width * 3) {
    return std::nullopt;
  }
  raster.pixels.resize(static_cast<std::size_t>(raster.width) * raster.height * 3);
  for (int y = 0; y < raster.height; ++y) {
    std::memcpy(&raster.pixels[static_cast<std::size_t>(y) * raster.width * 3],
                plane + static_cast<std::size_t>(y) * stride,
                static_cast<std::size_t>(raster.width) * 3);
  }
  return raster;
}

}  // namespace

std::optional<Raster> decodeHeif(const ThumbnailSource& source, bool wholeImage) {
  // Every item's data is read into memory: no photo is this large.
  constexpr std::int64_t kMaxFileBytes = 256 << 20;
  if (source.fileSize <= 0 || source.fileSize > kMaxFileBytes) return std::nullopt;
  Context context(heif_context_alloc());
  if (!context) return std::nullopt;
  heif_context_set_maximum_image_size_limit(context.get(), 16384);
  SparseFile file{source};
  if (heif_context_read_from_reader(context.get(), &kReader, &file, nullptr).code !=
      heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok) {
    return std::nullopt;
  }
  Handle image(primary);
  if (wholeImage) return toRaster(image.get());
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_thumbnail_IDs(image.get(), &id, 1) != 1) return std::nullopt;
  heif_image_handle* thumbnail = nullptr;
  if (heif_image_handle_get_thumbnail(image.get(), id, &thumbnail).code != heif_error_Ok) {
    return std::nullopt;
  }
  return toRaster(Handle(thumbnail).get());
}

}  // namespace picferry
