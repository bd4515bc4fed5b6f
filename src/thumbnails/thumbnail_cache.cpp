#include "thumbnails/thumbnail_cache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/paths.h"
#include "platform/read_file.h"
#include "platform/user_folders.h"

namespace picferry {
namespace {

constexpr const char* kThumbnailSuffix = ".jpg";
constexpr const char* kNoneSuffix = ".none";
// The comment a kept JPEG begins with: "picferry W H DIGEST", the digest that
// of every byte after the comment.
constexpr std::string_view kTag = "picferry ";

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

// The JPEG with its comment segment put right after its start marker.
std::string tagged(const Thumbnail& thumbnail) {
  const std::string rest = thumbnail.jpeg.substr(2);
  const std::string text = std::string(kTag) + std::to_string(thumbnail.width) + " " +
                           std::to_string(thumbnail.height) + " " + sha256Hex(rest);
  const std::size_t length = text.size() + 2;
  return "\xFF\xD8\xFF\xFE" + std::string(1, static_cast<char>(length >> 8)) +
         std::string(1, static_cast<char>(length & 0xFF)) + text + rest;
}

// The size a kept JPEG says it has, once its digest is checked.
std::optional<std::pair<int, int>> checkedSize(const std::string& bytes) {
  if (bytes.size() < 6 || bytes.compare(0, 4, "\xFF\xD8\xFF\xFE") != 0) return std::nullopt;
  const std::size_t length =
      static_cast<std::uint8_t>(bytes[4]) << 8 | static_cast<std::uint8_t>(bytes[5]);
  if (length < 2 || 4 + length > bytes.size()) return std::nullopt;
  const std::string text = bytes.substr(6, length - 2);
  const std::string rest = bytes.substr(4 + length);
  if (text.rfind(kTag, 0) != 0) return std::nullopt;
  const auto fields = text.substr(kTag.size());
  const auto space = fields.find(' '), last = fields.rfind(' ');
  if (space == std::string::npos || last == space) return std::nullopt;
  if (fields.substr(last + 1) != sha256Hex(rest)) return std::nullopt;
  const int width = std::atoi(fields.substr(0, space).c_str());
  const int height = std::atoi(fields.substr(space + 1, last - space - 1).c_str());
  if (width <= 0 || height <= 0) return std::nullopt;
  return std::pair(width, height);
}

}  // namespace

ThumbnailCache::ThumbnailCache(std::optional<std::string> folder, std::int64_t maxBytes)
    : folder_(std::move(folder)), maxBytes_(maxBytes) {}

std::optional<std::string> ThumbnailCache::folderFor(const char* xdgCacheHome, const char* home) {
  const auto cacheHome = xdgBaseFolder(xdgCacheHome, home, ".cache");
  if (!cacheHome) return std::nullopt;
  return joinPath(joinPath(*cacheHome, "picferry"), "thumbnails");
}

std::optional<std::string> ThumbnailCache::folderFromEnvironment() {
  return folderFor(std::getenv("XDG_CACHE_HOME"), userHome());
}

std::string ThumbnailCache::entryPath(const ThumbnailKey& key, const char* suffix) const {
  // Fields are separated by a NUL, which none of them holds.
  const std::string name = key.deviceId + '\0' + key.path + '\0' + std::to_string(key.size) +
                           '\0' + (key.mtime ? std::to_string(*key.mtime) : "-");
  return joinPath(*folder_, sha256Hex(name) + suffix);
}

ThumbnailCache::Found ThumbnailCache::find(const ThumbnailKey& key) {
  if (!folder_) return std::nullopt;
  const std::string path = entryPath(key, kThumbnailSuffix);
  if (access(entryPath(key, kNoneSuffix).c_str(), F_OK) == 0) {
    return std::optional<CachedThumbnail>();
  }
  std::string bytes;
  if (readWholeFile(path, kMaxMessageBytes, &bytes)) return std::nullopt;
  const auto size = checkedSize(bytes);
  if (!size) return std::nullopt;  // damaged: made again
  utimensat(AT_FDCWD, path.c_str(), nullptr, 0);  // used now: kept longest
  return std::optional(CachedThumbnail{path, size->first, size->second});
}

bool ThumbnailCache::ensureFolder() {
  if (folderMade_) return true;
  std::error_code error;
  std::filesystem::create_directories(*folder_, error);
  // The folder and the one it is in are this user's alone.
  const std::string parent = std::filesystem::path(*folder_).parent_path();
  chmod(parent.c_str(), 0700);
  folderMade_ = chmod(folder_->c_str(), 0700) == 0;
  return folderMade_;
}

bool ThumbnailCache::writeEntry(const std::string& path, const std::string& bytes) {
  std::string temporary = joinPath(*folder_, ".entry-XXXXXX");
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool written = close(fd) == 0 && done == bytes.size();
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  if (usedBytes_) *usedBytes_ += static_cast<std::int64_t>(bytes.size());
  return true;
}

std::optional<CachedThumbnail> ThumbnailCache::store(const ThumbnailKey& key,
                                                     const std::optional<Thumbnail>& thumbnail) {
  if (!folder_ || !ensureFolder()) return std::nullopt;
  std::optional<CachedThumbnail> kept;
  if (thumbnail && thumbnail->jpeg.rfind("\xFF\xD8", 0) == 0) {
    const std::string path = entryPath(key, kThumbnailSuffix);
    if (!writeEntry(path, tagged(*thumbnail))) return std::nullopt;
    kept = CachedThumbnail{path, thumbnail->width, thumbnail->height};
  } else {
    writeEntry(entryPath(key, kNoneSuffix), "");
  }
  trim();
  return kept;
}

// Drops the entries used longest ago until a quarter of the bound is free.
void ThumbnailCache::trim() {
  if (usedBytes_ && *usedBytes_ <= maxBytes_) return;
  struct Entry {
    std::filesystem::file_time_type used;
    std::int64_t size;
    std::filesystem::path path;
  };
  std::vector<Entry> entries;
  std::int64_t used = 0;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(*folder_, error)) {
    std::error_code failed;
    const auto size = static_cast<std::int64_t>(item.file_size(failed));
    const auto time = item.last_write_time(failed);
    if (failed || item.path().filename().string().rfind('.', 0) == 0) continue;
    entries.push_back({time, size, item.path()});
    used += size;
  }
  if (used > maxBytes_) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.used < b.used; });
    for (const Entry& entry : entries) {
      if (used <= maxBytes_ / 4 * 3) break;
      if (std::filesystem::remove(entry.path, error)) used -= entry.size;
    }
  }
  usedBytes_ = used;
}

}  // namespace picferry
