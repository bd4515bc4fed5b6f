#include "importer/importer.h"
#include "importer/saturating.h"

namespace picferry {
namespace {

// The sum of the sizes; a sum past the 64-bit range stays at its limit.
std::int64_t totalBytesOf(const std::vector<std::shared_ptr<CameraFile>>& files) {
  std::int64_t sum = 0;
  for (const auto& file : files) sum = addSaturating(sum, file->fileSize());
  return sum;
}

}  // namespace

void Importer::finalizeCatalog() {
  if (finalized || !camera) return;
  std::vector<std::shared_ptr<CameraFile>> mediaList;
  for (const auto& item : camera->mediaFiles().value_or(std::vector<std::shared_ptr<CameraItem>>{})) {
    if (auto file = std::dynamic_pointer_cast<CameraFile>(item)) mediaList.push_back(std::move(file));
  }
  if (mediaList.empty() && emptyWaits < maxEmptyWaits) {
    ++emptyWaits;
    scheduleSettle();
    return;
  }
  finalized = true;
  total = static_cast<std::int64_t>(mediaList.size());
  totalBytes = totalBytesOf(mediaList);

  const auto emitDetected = [&] {
    events_.emit({{"type", std::string("detected")},
                  {"device", camera->name().value_or("iPhone")},
                  {"itemCount", total},
                  {"totalBytes", totalBytes}});
  };
  switch (mode.kind) {
    case Mode::Kind::importTo:
      queue = std::move(mediaList);
      chooseFiles(mode.only);
      startDownloads();
      return;
    case Mode::Kind::detect:
      emitDetected();
      if (mode.items) emitItems(mediaList);
      if (!mode.thumbnails) platform_.process.exit(0);
      return beginThumbnails(mediaList);
    case Mode::Kind::session:
      queue = mediaList;
      emitDetected();
      if (mode.items) emitItems(mediaList);
      if (pendingImport) return beginPendingImport();
      if (mode.thumbnails) beginThumbnails(mediaList);
      return;
    case Mode::Kind::devices:  // takes no camera: never here
      return;
  }
}

}  // namespace picferry
