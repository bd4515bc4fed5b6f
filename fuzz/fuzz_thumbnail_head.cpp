// Cutting thumbnail sources out of file heads, on arbitrary files: a JPEG or
// HEIF head that is garbage, truncated or crafted, a size the device tells
// that is larger than the file, a device thumbnail or none. Checked: the
// source is read in bounds (never past the size told, never more than the
// cut's bounds in all), its ranges are bytes of the file at their offsets,
// its orientation is 1-8, and it crosses the pipe to the thumbnailer intact.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "thumbnails/head_cutter.h"
#include "thumbnails/thumbnail_wire.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) fail(#condition); \
  } while (false)

// Every box header walked, the meta box, the thumbnail's extents, the first
// read: what one file may cost at most.
constexpr std::int64_t kMaxRead =
    2 * picferry::kMaxSourceBytes + static_cast<std::int64_t>(picferry::kFirstRead) + 16 * 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace picferry;
  FuzzedDataProvider input(data, size);
  const bool deviceThumbnail = input.ConsumeBool();
  const auto extra = input.ConsumeIntegralInRange<std::int64_t>(0, 1 << 20);
  const std::string file = input.ConsumeRemainingBytesAsString();
  const std::int64_t told = static_cast<std::int64_t>(file.size()) + extra;

  std::int64_t served = 0;
  const auto source = cutThumbnailSource(
      [&](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
        CHECK(offset + length <= static_cast<std::uint64_t>(told));
        served += static_cast<std::int64_t>(length);
        CHECK(served <= kMaxRead);
        if (offset >= file.size()) return std::string();
        return file.substr(offset, length);
      },
      told, deviceThumbnail ? std::string("\xFF\xD8\xFF\xD9") : std::string());

  CHECK(source.orientation >= 1 && source.orientation <= 8);
  CHECK(source.fileSize == told);
  for (const auto& range : source.ranges) {
    CHECK(range.offset + range.bytes.size() <= file.size());
    CHECK(file.compare(range.offset, range.bytes.size(), range.bytes) == 0);
  }
  const auto back = decodeSource(encodeSource(source));
  CHECK(back && back->fileSize == source.fileSize && back->orientation == source.orientation &&
        back->deviceThumbnail == source.deviceThumbnail &&
        back->ranges.size() == source.ranges.size());
  for (std::size_t i = 0; i < source.ranges.size(); ++i) {
    CHECK(back->ranges[i].offset == source.ranges[i].offset &&
          back->ranges[i].bytes == source.ranges[i].bytes);
  }
  return 0;
}
