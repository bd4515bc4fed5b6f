// The thumbnail cache on a real folder: what is kept comes back, what is
// damaged or belongs to another file does not, it stays private and within
// its bound, the entries used longest ago going first.

#include "thumbnails/thumbnail_cache.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace picferry {
namespace {

const ThumbnailKey kKey{"DEVICE-1", "/DCIM/100/A.JPG", 1234, 1600000000};

// A stand-in JPEG of `size` bytes: the cache checks its digest, not its pixels.
Thumbnail thumbnail(std::size_t size = 1000, int width = 320) {
  std::string jpeg = "\xFF\xD8";
  for (std::size_t i = 2; jpeg.size() < size; ++i) jpeg += static_cast<char>(i * 7);
  return {width, 240, jpeg};
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int modeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

class ThumbnailCacheTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string folder = dir / "cache/picferry/thumbnails";
};

TEST_F(ThumbnailCacheTest, KeptThumbnailsComeBackPrivateAndAsJpegs) {
  ThumbnailCache cache(folder);
  EXPECT_FALSE(cache.find(kKey));
  const auto kept = cache.store(kKey, thumbnail());
  ASSERT_TRUE(kept);
  EXPECT_EQ(std::pair(kept->width, kept->height), std::pair(320, 240));
  EXPECT_EQ(contents(kept->file).substr(0, 4), "\xFF\xD8\xFF\xFE");  // a JPEG comment first
  const auto found = ThumbnailCache(folder).find(kKey);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->file, kept->file);
  EXPECT_EQ(modeOf(folder), 0700);
  EXPECT_EQ(modeOf(dir / "cache/picferry"), 0700);
  EXPECT_EQ(modeOf(kept->file), 0600);

  ThumbnailKey none = kKey;
  none.path = "/DCIM/100/B.MOV";
  EXPECT_FALSE(cache.store(none, std::nullopt));
  const auto noThumbnail = cache.find(none);
  ASSERT_TRUE(noThumbnail);
  EXPECT_FALSE(*noThumbnail);
}

TEST_F(ThumbnailCacheTest, AnotherFileOfTheDeviceOrAnotherDeviceFindsNothing) {
  ThumbnailCache cache(folder);
  ASSERT_TRUE(cache.store(kKey, thumbnail()));
  std::vector<ThumbnailKey> others(5, kKey);
  others[0].deviceId = "DEVICE-2";
  others[1].path = "/DCIM/100/A.JPG2";
  others[2].size = 1235;
  others[3].mtime = 1600000001;
  others[4].mtime = std::nullopt;
  for (const auto& other : others) EXPECT_FALSE(cache.find(other)) << other.path;
}

TEST_F(ThumbnailCacheTest, ADamagedEntryIsNeverTrusted) {
  struct Row {
    std::string name;
    std::function<std::string(std::string)> damage;
  };
  for (const Row& row : std::vector<Row>{
           {"a byte changed", [](std::string s) { s[s.size() / 2] ^= 1; return s; }},
           {"cut short", [](std::string s) { return s.substr(0, s.size() - 10); }},
           {"emptied", [](std::string) { return std::string(); }},
           {"another size told", [](std::string s) { s[s.find(" 240 ")] = '9'; return s; }},
           {"a JPEG of its own", [](std::string s) { return s.substr(0, 2) + s.substr(4); }}}) {
    SCOPED_TRACE(row.name);
    ThumbnailCache cache(folder);
    const auto kept = cache.store(kKey, thumbnail());
    ASSERT_TRUE(kept);
    const std::string damaged = row.damage(contents(kept->file));
    std::ofstream(kept->file, std::ios::binary | std::ios::trunc) << damaged;
    EXPECT_FALSE(cache.find(kKey));
  }
}

TEST_F(ThumbnailCacheTest, PastItsBoundTheEntriesUsedLongestAgoGo) {
  ThumbnailCache cache(folder, 5500);  // trimmed to three quarters of it
  std::vector<ThumbnailKey> keys;
  std::vector<std::string> files;
  for (int i = 0; i < 4; ++i) {
    keys.push_back(kKey);
    keys.back().path = "/DCIM/100/" + std::to_string(i) + ".JPG";
    files.push_back(cache.store(keys.back(), thumbnail(1000))->file);
    // Stored a minute apart.
    const timespec times[2] = {{0, UTIME_OMIT}, {1'600'000'000 + 60 * i, 0}};
    utimensat(AT_FDCWD, files.back().c_str(), times, 0);
  }
  EXPECT_TRUE(cache.find(keys[0]));  // used now: kept longest
  keys.push_back(kKey);
  keys.back().path = "/DCIM/100/4.JPG";
  ASSERT_TRUE(cache.store(keys.back(), thumbnail(1500)));  // 5.5 KB kept: past the bound
  std::vector<bool> held;
  for (const auto& key : keys) held.push_back(cache.find(key).has_value());
  EXPECT_EQ(held, (std::vector<bool>{true, false, false, true, true}));
}

TEST(ThumbnailCacheFolderTest, XdgCacheHomeElseTheHomeCache) {
  struct Row {
    const char* xdg;
    const char* home;
    std::optional<std::string> folder;
  };
  for (const Row& row : std::vector<Row>{
           {"/x/cache", "/home/a", "/x/cache/picferry/thumbnails"},
           {nullptr, "/home/a", "/home/a/.cache/picferry/thumbnails"},
           {"", "/home/a", "/home/a/.cache/picferry/thumbnails"},
           {"relative", "/home/a", "/home/a/.cache/picferry/thumbnails"},
           {nullptr, nullptr, std::nullopt},
           {nullptr, "relative", std::nullopt}}) {
    EXPECT_EQ(ThumbnailCache::folderFor(row.xdg, row.home), row.folder)
        << (row.xdg ? row.xdg : "-") << " " << (row.home ? row.home : "-");
  }
}

}  // namespace
}  // namespace picferry
