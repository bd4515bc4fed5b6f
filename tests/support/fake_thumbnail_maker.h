#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/main_queue.h"
#include "thumbnails/thumbnail_maker.h"

namespace picferry::testing {

// A cache of scripted entries and a maker that decodes nothing: a source
// with a device thumbnail becomes /cache + that thumbnail's bytes (the fake
// camera puts the file's path there), 320 x 240, after `delay`; an empty
// source, no thumbnail. Answers in order, as the real one does.
class FakeThumbnailMaker final : public ThumbnailMaker {
 public:
  FakeThumbnailMaker(MainQueue& mainQueue, double delay) : mainQueue_(mainQueue), delay_(delay) {}

  // Device path -> what the cache holds for it.
  std::map<std::string, std::optional<CachedThumbnail>> kept;
  std::vector<std::string> made;  // device paths, in order

  ThumbnailCache::Found find(const ThumbnailKey& key) override {
    const auto it = kept.find(key.path);
    if (it == kept.end()) return std::nullopt;
    return it->second;
  }
  void make(ThumbnailKey key, ThumbnailSource source, Done done) override {
    made.push_back(key.path);
    std::optional<CachedThumbnail> result;
    if (!source.deviceThumbnail.empty()) {
      result = CachedThumbnail{"/cache" + source.deviceThumbnail, 320, 240};
    }
    mainQueue_.postAfter(delay_, [done = std::move(done), result] { done(result); });
  }

 private:
  MainQueue& mainQueue_;
  double delay_;
};

}  // namespace picferry::testing
