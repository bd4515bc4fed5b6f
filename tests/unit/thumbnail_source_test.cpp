// What is read of a file for its thumbnail, on files built here byte by byte:
// how much of the device is read, which parts of the file are kept, and the
// orientation found, for JPEG and HEIF heads sound, lying and broken.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "thumbnails/head_cutter.h"

namespace picferry {
namespace {

std::string be(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes; i-- > 0;) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

std::string le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

std::string segment(int marker, const std::string& body) {
  std::string out = be(0xFF00 | static_cast<unsigned>(marker), 2);
  out += be(body.size() + 2, 2);
  out += body;
  return out;
}

// A TIFF block whose IFD0 holds one entry, Orientation (SHORT).
std::string tiff(int orientation, bool bigEndian) {
  const auto n = [&](std::uint64_t v, int bytes) { return bigEndian ? be(v, bytes) : le(v, bytes); };
  return (bigEndian ? "MM" : "II") + n(42, 2) + n(8, 4) + n(1, 2) + n(0x0112, 2) + n(3, 2) +
         n(1, 4) + n(static_cast<std::uint64_t>(orientation), 2) + n(0, 2) + n(0, 4);
}

// A JPEG: JFIF, then an EXIF segment of about `exifBytes` (when asked for),
// then image data up to `size` bytes.
std::string jpeg(std::size_t size, std::optional<std::pair<int, bool>> exif,
                 std::size_t exifBytes = 20000) {
  std::string out = "\xFF\xD8" + segment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
  if (exif) {
    std::string body = std::string("Exif\0\0", 6) + tiff(exif->first, exif->second);
    body.resize(exifBytes, 'x');
    out += segment(0xE1, body);
  }
  out += segment(0xDA, std::string(10, '\0'));
  out.resize(size, 'p');
  return out;
}

std::string box(const std::string& type, const std::string& body) {
  return be(body.size() + 8, 4) + type + body;
}

// A HEIF file: ftyp, meta (pitm 1, thumbnail 2 -> 1, iloc placing item 1 at
// `imageAt` and item 2 at `thumbnailAt`), then mdat filling it to `size`.
std::string heif(std::size_t size, std::uint64_t imageAt, std::uint64_t thumbnailAt,
                 std::uint64_t thumbnailLength) {
  const std::string fullBox(4, '\0');
  const std::string iloc = fullBox + be(0x4400, 2) + be(2, 2) +  //
                           be(1, 2) + be(0, 2) + be(1, 2) + be(imageAt, 4) + be(100, 4) +  //
                           be(2, 2) + be(0, 2) + be(1, 2) + be(thumbnailAt, 4) + be(thumbnailLength, 4);
  const std::string meta = box("meta", fullBox + box("pitm", fullBox + be(1, 2)) +
                                           box("iref", fullBox + box("thmb", be(2, 2) + be(1, 2) + be(1, 2))) +
                                           box("iloc", iloc));
  std::string out = box("ftyp", std::string("heic") + be(0, 4) + "mif1heic") + meta;
  out += be(size - out.size(), 4) + "mdat";
  out.resize(size, 'h');
  return out;
}

struct Case {
  std::string name;
  std::string file;
  std::int64_t told;           // the size the device tells
  std::string deviceThumbnail;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // offset, length
  int orientation;
  std::int64_t maxRead;        // bytes of the device read at most, the thumbnail included
};

std::vector<Case> cases() {
  constexpr std::int64_t kKiB = 1024, kMiB = 1024 * kKiB;
  const std::string photo = jpeg(3 * kMiB, std::pair(6, true));
  const std::size_t exifEnd = 2 + 18 + 4 + 20000;
  const std::string heifLate = heif(3 * kMiB, 1000, 3 * kMiB - 6000, 5000);
  const std::string heifEarly = heif(3 * kMiB, 30000, 2000, 5000);
  return {
      {"JPEG, EXIF big-endian, orientation 6", photo, 3 * kMiB, "", {{0, exifEnd}}, 6, 64 * kKiB},
      {"JPEG, EXIF little-endian, orientation 8", jpeg(kMiB + 1, std::pair(8, false)), kMiB + 1,
       "", {{0, exifEnd}}, 8, 64 * kKiB},
      {"JPEG, orientation out of range", jpeg(2 * kMiB, std::pair(9, true)), 2 * kMiB, "",
       {{0, exifEnd}}, 1, 64 * kKiB},
      {"JPEG, EXIF segment past the first read", jpeg(3 * kMiB, std::pair(3, true), 65000),
       3 * kMiB, "", {{0, 2 + 18 + 4 + 65000}}, 3, 80 * kKiB},
      {"JPEG with the device's thumbnail: only the orientation", photo, 3 * kMiB, "THUMB", {}, 6,
       4 * kKiB + 5},
      {"small JPEG without EXIF: whole", jpeg(300 * kKiB, std::nullopt), 300 * kKiB, "",
       {{0, 300 * kKiB}}, 1, 300 * kKiB},
      {"large JPEG without EXIF: nothing", jpeg(2 * kMiB, std::nullopt), 2 * kMiB, "", {}, 1,
       64 * kKiB},
      {"HEIF, thumbnail at the end: head and thumbnail", heifLate, 3 * kMiB, "",
       {{0, 64 * kKiB}, {3 * kMiB - 6000, 5000}}, 1, 64 * kKiB + 5000},
      {"HEIF, thumbnail in the first read: nothing more", heifEarly, 3 * kMiB, "",
       {{0, 64 * kKiB}}, 1, 64 * kKiB},
      {"HEIF, thumbnail past the end", heif(3 * kMiB, 1000, 3 * kMiB - 100, 5000), 3 * kMiB, "",
       {}, 1, 64 * kKiB},
      {"HEIF shorter than the device tells", heifLate.substr(0, kMiB), 3 * kMiB, "", {}, 1,
       64 * kKiB + 5000},
      {"JPEG cut before its EXIF ends", photo.substr(0, 10000), 3 * kMiB, "", {}, 1, 64 * kKiB},
      {"garbage", std::string(2 * kMiB, '\xFF'), 2 * kMiB, "", {}, 1, 64 * kKiB},
      {"empty file", "", 0, "", {}, 1, 0},
  };
}

TEST(ThumbnailSourceTest, ReadsOnlyWhatTheThumbnailNeeds) {
  for (const Case& test : cases()) {
    SCOPED_TRACE(test.name);
    std::int64_t served = 0;
    const auto source = cutThumbnailSource(
        [&](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
          const auto bytes = offset < test.file.size() ? test.file.substr(offset, length) : "";
          served += static_cast<std::int64_t>(bytes.size());
          return bytes;
        },
        test.told, test.deviceThumbnail);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const auto& range : source.ranges) {
      ranges.emplace_back(range.offset, range.bytes.size());
      EXPECT_EQ(range.bytes, test.file.substr(range.offset, range.bytes.size()));
    }
    EXPECT_EQ(ranges, test.ranges);
    EXPECT_EQ(source.orientation, test.orientation);
    EXPECT_EQ(source.deviceThumbnail, test.deviceThumbnail);
    EXPECT_LE(served + static_cast<std::int64_t>(test.deviceThumbnail.size()), test.maxRead);
    EXPECT_EQ(source.bytesRead, served + static_cast<std::int64_t>(test.deviceThumbnail.size()));
  }
}

TEST(ThumbnailSourceTest, ADeviceThatFailsGivesNothing) {
  const std::string photo = jpeg(3 << 20, std::pair(6, true));
  const auto source = cutThumbnailSource(
      [](std::uint64_t, std::size_t) -> std::optional<std::string> { return std::nullopt; },
      3 << 20);
  EXPECT_TRUE(source.empty());
}

}  // namespace
}  // namespace picferry
