#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "thumbnails/thumbnail_cache.h"
#include "thumbnails/thumbnail_source.h"

namespace picferry {

class MainQueue;
class WorkerThread;
class ThumbnailerProcess;

// Where the controller gets thumbnails: kept ones at once, new ones made off
// the main thread. Methods: main thread.
class ThumbnailMaker {
 public:
  virtual ~ThumbnailMaker() = default;
  // What the cache holds for the key (ThumbnailCache::find).
  virtual ThumbnailCache::Found find(const ThumbnailKey& key) = 0;
  // Makes the thumbnail from `source`, keeps it and calls `done` on the main
  // queue with where it is kept (absent: there is none). Calls are answered
  // in order.
  using Done = std::function<void(std::optional<CachedThumbnail>)>;
  virtual void make(ThumbnailKey key, ThumbnailSource source, Done done) = 0;
};

// Decodes in the thumbnailer process, one source at a time on a thread of
// its own, and keeps what it makes in `cache`, and that a file has none
// when the thumbnailer says so (not when it gave no answer).
class ProcessThumbnailMaker final : public ThumbnailMaker {
 public:
  ProcessThumbnailMaker(MainQueue& mainQueue, ThumbnailCache cache,
                        std::vector<std::string> thumbnailer);
  ~ProcessThumbnailMaker() override;

  ThumbnailCache::Found find(const ThumbnailKey& key) override;
  void make(ThumbnailKey key, ThumbnailSource source, Done done) override;

 private:
  MainQueue& mainQueue_;
  // The cache is used on the main thread (find) and the worker (store): a
  // lookup and a store never touch the same entry at once, and each entry
  // is replaced whole by rename.
  ThumbnailCache lookups_;
  ThumbnailCache stores_;
  std::unique_ptr<ThumbnailerProcess> process_;  // worker only
  std::unique_ptr<WorkerThread> worker_;
};

}  // namespace picferry
