// The thumbnailer as picferry runs it, a child process: a child that
// crashes, hangs, answers nonsense or cannot start gives no thumbnail and
// takes nothing else down, and the next request starts a sound one.

#include "thumbnails/thumbnailer_process.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/temp_dir.h"
#include "thumbnails/raster.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;

ThumbnailSource jpegSource() {
  Raster raster{64, 48, std::vector<std::uint8_t>(64 * 48 * 3, 128)};
  ThumbnailSource source;
  source.fileSize = 1 << 20;
  source.deviceThumbnail = *encodeJpeg(raster);
  return source;
}

std::vector<std::string> shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

TEST(ThumbnailerProcessTest, AChildThatFailsGivesNoThumbnailAndEndsNothingElse) {
  struct Row {
    std::string name;
    std::vector<std::string> command;
  };
  for (const Row& row : std::vector<Row>{
           {"crashes", shell("head -c 4 >/dev/null; kill -SEGV $$")},
           {"hangs", shell("exec sleep 30")},
           {"answers nonsense", shell("head -c 4 >/dev/null; printf '\\377\\377\\377\\377'")},
           {"answers a short message", shell("head -c 4 >/dev/null; printf '\\0\\0\\0\\20xy'")},
           {"exits at once", {"/bin/true"}},
           {"cannot start", {"/nonexistent/picferry-thumbnailer"}}}) {
    SCOPED_TRACE(row.name);
    ThumbnailerProcess process(row.command, 500ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(process.make(jpegSource()));
    EXPECT_TRUE(process.lastFailed());
    EXPECT_FALSE(process.make(jpegSource()));  // started again, failing again
    EXPECT_TRUE(process.lastFailed());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  }
}

TEST(ThumbnailerProcessTest, TheThumbnailerMakesThumbnailsOneAfterAnother) {
  ThumbnailerProcess process({PICFERRY_THUMBNAILER});
  for (int i = 0; i < 3; ++i) {
    const auto made = process.make(jpegSource());
    ASSERT_TRUE(made);
    EXPECT_EQ(std::pair(made->width, made->height), std::pair(64, 48));
  }
  ThumbnailSource garbage;
  garbage.fileSize = 100;
  garbage.ranges = {{0, std::string(100, '\xFF')}};
  EXPECT_FALSE(process.make(garbage));
  EXPECT_FALSE(process.lastFailed());  // it answered: there is none
  EXPECT_TRUE(process.make(jpegSource()));
}

TEST(ThumbnailerProcessTest, AfterACrashTheNextRequestStartsASoundChild) {
  testing::TempDir dir;
  // The first child crashes in the middle of a request; every later one is the thumbnailer.
  ThumbnailerProcess process(shell("if [ -e '" + dir / "crashed" + "' ]; then exec '" +
                                   PICFERRY_THUMBNAILER + "'; fi; touch '" + dir / "crashed" +
                                   "'; head -c 4 >/dev/null; kill -SEGV $$"));
  EXPECT_FALSE(process.make(jpegSource()));
  EXPECT_TRUE(process.make(jpegSource()));
}

}  // namespace
}  // namespace picferry
