#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "thumbnails/thumbnail_wire.h"

namespace picferry {

// Which file of which device a thumbnail shows: a file changed on the device
// (another size or date) is another key.
struct ThumbnailKey {
  std::string deviceId;
  std::string path;
  std::int64_t size = 0;
  std::optional<std::int64_t> mtime;
};

// A thumbnail kept in the cache: its JPEG file and size in pixels.
struct CachedThumbnail {
  std::string file;
  int width = 0;
  int height = 0;
};

// Thumbnails kept between runs, in a private folder (0700, files 0600): one
// JPEG per key, which carries a digest of its own bytes, so that a damaged
// entry is never trusted; or a mark that the file offers none. Each entry is
// written under a temporary name and then renamed, so no partial entry ever
// stands under its name. Past kMaxBytes, the entries used longest ago go
// first. Several processes may share it. Not thread-safe.
class ThumbnailCache {
 public:
  static constexpr std::int64_t kMaxBytes = 64 << 20;

  // `folder`: absent when no home can be told: nothing is kept.
  explicit ThumbnailCache(std::optional<std::string> folder, std::int64_t maxBytes = kMaxBytes);

  // $XDG_CACHE_HOME/picferry/thumbnails, or ~/.cache/picferry/thumbnails when
  // XDG_CACHE_HOME is unset or relative.
  static std::optional<std::string> folderFor(const char* xdgCacheHome, const char* home);
  static std::optional<std::string> folderFromEnvironment();

  // Absent: nothing sound is kept for the key. Held: the thumbnail, or that
  // there is none (an empty optional).
  using Found = std::optional<std::optional<CachedThumbnail>>;
  Found find(const ThumbnailKey& key);
  // Keeps the thumbnail (or that there is none) and tells where it now is;
  // absent when it could not be kept.
  std::optional<CachedThumbnail> store(const ThumbnailKey& key,
                                       const std::optional<Thumbnail>& thumbnail);

 private:
  std::string entryPath(const ThumbnailKey& key, const char* suffix) const;
  bool ensureFolder();
  bool writeEntry(const std::string& path, const std::string& bytes);
  void trim();

  const std::optional<std::string> folder_;
  const std::int64_t maxBytes_;
  std::optional<std::int64_t> usedBytes_;  // known once the folder was looked over
  bool folderMade_ = false;
};

}  // namespace picferry
