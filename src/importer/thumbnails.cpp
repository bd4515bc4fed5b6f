// Thumbnails after the items (--thumbnails): one "thumbnail" event per file,
// in catalogue order unless a session command moved some forward. Kept ones
// come from the cache without touching the device; the device reads one
// file's source at a time, while earlier ones are made off the main thread.

#include <algorithm>

#include "importer/importer.h"

namespace picferry {
namespace {

ThumbnailKey keyOf(const std::string& deviceId, const CameraFile& file) {
  return {deviceId, file.devicePath(), file.fileSize(), file.modificationDate()};
}

}  // namespace

void Importer::beginThumbnails(const std::vector<std::shared_ptr<CameraFile>>& mediaList) {
  thumbnailsToRead.assign(mediaList.begin(), mediaList.end());
  readNextThumbnails();
  emitMadeThumbnails();
}

// Takes files in order: a kept thumbnail is due at once; a file the cache
// does not know is read from the device, a few at a time, and only while few
// are being made.
void Importer::readNextThumbnails() {
  const auto making = [&] {
    return std::count_if(thumbnailsDue.begin(), thumbnailsDue.end(),
                         [](const DueThumbnail& due) { return !due.made; });
  };
  while (readingThumbnails < maxThumbnailReads && !thumbnailsToRead.empty() &&
         static_cast<std::size_t>(making()) < maxThumbnailsMaking) {
    auto file = std::move(thumbnailsToRead.front());
    thumbnailsToRead.pop_front();
    const auto kept = thumbnailMaker ? thumbnailMaker->find(keyOf(camera->id(), *file))
                                     : std::optional(std::optional<CachedThumbnail>());
    if (kept) {
      thumbnailsDue.push_back({std::move(file), true, *kept});
      continue;
    }
    thumbnailsDue.push_back({file, false, std::nullopt});
    ++readingThumbnails;
    camera->requestThumbnailSource(file, this);
  }
}

void Importer::didReadThumbnailSource(const std::shared_ptr<CameraFile>& file,
                                      ThumbnailSource source) {
  --readingThumbnails;
  if (thumbnailsDropped) return;
  thumbnailMaker->make(keyOf(camera->id(), *file), std::move(source),
                       [weak = weak_from_this(), file](std::optional<CachedThumbnail> made) {
                         if (const auto self = weak.lock()) self->thumbnailMade(*file, std::move(made));
                       });
  readNextThumbnails();
}

void Importer::thumbnailMade(const CameraFile& file, std::optional<CachedThumbnail> made) {
  if (thumbnailsDropped) return;
  for (DueThumbnail& due : thumbnailsDue) {
    if (due.file.get() == &file && !due.made) {
      due.made = true;
      due.thumbnail = std::move(made);
      break;
    }
  }
  emitMadeThumbnails();
  readNextThumbnails();
}

// Writes the events now due, in order; in detect, the run ends after the last.
void Importer::emitMadeThumbnails() {
  while (!thumbnailsDue.empty() && thumbnailsDue.front().made) {
    const DueThumbnail due = std::move(thumbnailsDue.front());
    thumbnailsDue.pop_front();
    Event event{{"type", std::string("thumbnail")}, {"path", due.file->devicePath()}};
    if (due.thumbnail) {
      event.emplace_back("file", due.thumbnail->file);
      event.emplace_back("width", static_cast<std::int64_t>(due.thumbnail->width));
      event.emplace_back("height", static_cast<std::int64_t>(due.thumbnail->height));
    }
    events_.emit(event);
  }
  if (mode.kind == Mode::Kind::detect && thumbnailsDue.empty() && thumbnailsToRead.empty()) {
    platform_.process.exit(0);
  }
}

// Moves the files of `paths` still to be taken to the front, in that order.
void Importer::prioritizeThumbnails(const std::vector<std::string>& paths) {
  for (auto path = paths.rbegin(); path != paths.rend(); ++path) {
    const auto found = std::find_if(thumbnailsToRead.begin(), thumbnailsToRead.end(),
                                    [&](const auto& file) { return file->devicePath() == *path; });
    if (found == thumbnailsToRead.end()) continue;
    auto file = std::move(*found);
    thumbnailsToRead.erase(found);
    thumbnailsToRead.push_front(std::move(file));
  }
}

// An import takes the device at once: no thumbnail event follows.
void Importer::dropThumbnails() {
  thumbnailsDropped = true;
  thumbnailsToRead.clear();
  thumbnailsDue.clear();
}

}  // namespace picferry
