// What an import takes: the catalogue item by item, a chosen set of device
// paths, only what the record does not hold; and the record of what it saved.

#include <unordered_map>

#include "importer/importer.h"

namespace picferry {
namespace {

RecordedFileKey keyOf(const CameraFile& file) {
  return {file.devicePath(), file.fileSize(), file.modificationDate()};
}

}  // namespace

// One "item" per file, in the order an import takes them. "imported" is left
// out when the record cannot be read.
void Importer::emitItems(const std::vector<std::shared_ptr<CameraFile>>& mediaList) {
  const auto* files = std::get_if<RecordedFiles>(&recordedFiles());
  for (const auto& file : mediaList) {
    Event item{{"type", std::string("item")},
               {"path", file->devicePath()},
               {"name", file->name().value_or("file")},
               {"size", file->fileSize()}};
    if (const auto mtime = file->modificationDate()) item.emplace_back("mtime", *mtime);
    if (files) item.emplace_back("imported", files->count(keyOf(*file)) != 0);
    events_.emit(item);
  }
}

// Narrows `queue` to the chosen paths, in catalogue order; a chosen path the
// catalogue does not hold is counted unavailable at the end, and a path
// chosen twice counts once. With newOnly, an unusable record ends the run
// here, before any copy.
void Importer::chooseFiles(const std::optional<std::vector<std::string>>& only) {
  if (newOnly) {
    if (const auto* failed = std::get_if<RecordFailure>(&recordedFiles())) {
      events_.emitError("record_unusable", failed->description);
      platform_.process.exit(1);
    }
  }
  if (!only) return;
  std::unordered_map<std::string, bool> chosen;  // path -> held by the catalogue
  for (const std::string& path : *only) chosen.emplace(path, false);
  std::vector<std::shared_ptr<CameraFile>> kept;
  for (auto& file : queue) {
    const auto it = chosen.find(file->devicePath());
    if (it == chosen.end()) continue;
    it->second = true;
    kept.push_back(std::move(file));
  }
  queue = std::move(kept);
  for (const std::string& path : *only) {
    bool& settled = chosen.at(path);
    if (!settled) absentPaths.push_back(path);
    settled = true;
  }
  total = static_cast<std::int64_t>(chosen.size());
}

bool Importer::isRecorded(const CameraFile& file) {
  const auto* files = std::get_if<RecordedFiles>(&recordedFiles());
  return files && files->count(keyOf(file)) != 0;
}

void Importer::recordSaved(const CameraFile& file, const std::string& savedAs) {
  record->add({recordDeviceId(), keyOf(file), savedAs});
}

const std::variant<RecordedFiles, RecordFailure>& Importer::recordedFiles() {
  if (!recorded) recorded = record->filesOf(recordDeviceId());
  return *recorded;
}

}  // namespace picferry
