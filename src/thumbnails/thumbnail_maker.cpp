#include "thumbnails/thumbnail_maker.h"

#include "camera/worker_thread.h"
#include "platform/main_queue.h"
#include "thumbnails/thumbnailer_process.h"

namespace picferry {

ProcessThumbnailMaker::ProcessThumbnailMaker(MainQueue& mainQueue, ThumbnailCache cache,
                                             std::vector<std::string> thumbnailer)
    : mainQueue_(mainQueue),
      lookups_(cache),
      stores_(std::move(cache)),
      process_(std::make_unique<ThumbnailerProcess>(std::move(thumbnailer))),
      worker_(std::make_unique<WorkerThread>()) {}

ProcessThumbnailMaker::~ProcessThumbnailMaker() { worker_.reset(); }

ThumbnailCache::Found ProcessThumbnailMaker::find(const ThumbnailKey& key) {
  return lookups_.find(key);
}

void ProcessThumbnailMaker::make(ThumbnailKey key, ThumbnailSource source, Done done) {
  worker_->submit([this, key = std::move(key), source = std::move(source),
                   done = std::move(done)]() mutable {
    const auto made = process_->make(source);
    // That the thumbnailer gave no answer is not kept: the next run tries again.
    auto kept = process_->lastFailed() ? std::nullopt : stores_.store(key, made);
    mainQueue_.post([done = std::move(done), kept = std::move(kept)] { done(kept); });
  });
}

}  // namespace picferry
