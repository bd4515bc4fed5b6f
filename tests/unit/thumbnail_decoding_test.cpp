// Making a thumbnail from a source (what the thumbnailer does): turned
// upright for every EXIF orientation, shrunk to 320 pixels keeping its
// aspect, and nothing from bytes that do not decode.

#include <gtest/gtest.h>

#include "thumbnails/make_thumbnail.h"
#include "thumbnails/raster.h"

namespace picferry {
namespace {

// A picture whose top-left quarter is red and the rest blue.
Raster quartered(int width, int height) {
  Raster raster{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool red = x < width / 2 && y < height / 2;
      auto* pixel = &raster.pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      pixel[0] = red ? 230 : 20;
      pixel[2] = red ? 20 : 230;
    }
  }
  return raster;
}

enum Corner { topLeft, topRight, bottomLeft, bottomRight };

// Which quarter of the picture is red.
Corner redCorner(const Raster& raster) {
  const auto red = [&](int x, int y) {
    return raster.pixels[(static_cast<std::size_t>(y) * raster.width + x) * 3] > 128;
  };
  const int w = raster.width, h = raster.height;
  if (red(w / 4, h / 4)) return topLeft;
  if (red(3 * w / 4, h / 4)) return topRight;
  return red(w / 4, 3 * h / 4) ? bottomLeft : bottomRight;
}

ThumbnailSource deviceThumbnail(const Raster& raster, int orientation) {
  ThumbnailSource source;
  source.deviceThumbnail = *encodeJpeg(raster);
  source.fileSize = 1 << 20;
  source.orientation = orientation;
  return source;
}

TEST(ThumbnailDecodingTest, EveryOrientationIsTurnedUpright) {
  struct Row {
    int orientation;
    int width, height;
    Corner red;  // where the stored picture's top-left quarter ends up
  };
  for (const Row& row : std::vector<Row>{{1, 160, 120, topLeft},
                                         {2, 160, 120, topRight},
                                         {3, 160, 120, bottomRight},
                                         {4, 160, 120, bottomLeft},
                                         {5, 120, 160, topLeft},
                                         {6, 120, 160, topRight},
                                         {7, 120, 160, bottomRight},
                                         {8, 120, 160, bottomLeft},
                                         {0, 160, 120, topLeft}}) {
    SCOPED_TRACE(row.orientation);
    const auto made = makeThumbnail(deviceThumbnail(quartered(160, 120), row.orientation));
    ASSERT_TRUE(made);
    EXPECT_EQ(std::pair(made->width, made->height), std::pair(row.width, row.height));
    const auto decoded = decodeJpeg(made->jpeg, 1 << 20);  // at full size
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::pair(decoded->width, decoded->height), std::pair(row.width, row.height));
    EXPECT_EQ(redCorner(*decoded), row.red);
  }
}

TEST(ThumbnailDecodingTest, LargePicturesShrinkToTheLongSideKeepingTheirAspect) {
  struct Row {
    int width, height, thumbnailWidth, thumbnailHeight;
  };
  for (const Row& row : std::vector<Row>{{1600, 1200, 320, 240},
                                         {1200, 1600, 240, 320},
                                         {4000, 1000, 320, 80},
                                         {100, 80, 100, 80},
                                         {5000, 3, 320, 1}}) {
    const auto made = makeThumbnail(deviceThumbnail(quartered(row.width, row.height), 1));
    ASSERT_TRUE(made) << row.width;
    EXPECT_EQ(std::pair(made->width, made->height),
              std::pair(row.thumbnailWidth, row.thumbnailHeight));
  }
}

TEST(ThumbnailDecodingTest, BytesThatDoNotDecodeGiveNoThumbnail) {
  const std::string good = *encodeJpeg(quartered(160, 120));
  for (const std::string& bytes : {std::string(), std::string("\xFF\xD8\xFF", 3),
                                   good.substr(0, good.size() / 2), std::string(5000, '\xFF'),
                                   good.substr(0, 200) + std::string(5000, '\0')}) {
    ThumbnailSource asThumbnail;
    asThumbnail.deviceThumbnail = bytes;
    EXPECT_FALSE(makeThumbnail(asThumbnail)) << bytes.size();
    ThumbnailSource asWholeFile;  // a JPEG read whole
    asWholeFile.fileSize = static_cast<std::int64_t>(bytes.size());
    asWholeFile.ranges = {{0, bytes}};
    EXPECT_FALSE(makeThumbnail(asWholeFile)) << bytes.size();
  }
}

}  // namespace
}  // namespace picferry
