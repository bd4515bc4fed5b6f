// Why files fail and the room an import needs, told when the import asks for
// them; and the files that cannot fit, failed at their turn unrequested.

#include <algorithm>

#include "destination/failure_code.h"
#include "importer/importer.h"
#include "importer/saturating.h"

namespace picferry {

void Importer::startDownloads() {
  destinationRoom = platform_.fileSystem.room(dest);
  planDownloads();
  if (reasons) emitSpace();
  downloadNext();
}

// "neededBytes": the files the import will ask for, as planned: less the
// skips and the files too large for the file system. A turn the plan could
// not decide (a name an earlier file may take a variant of) is counted: an
// upper bound then. "freeBytes" is left out where the file system tells none.
void Importer::emitSpace() {
  std::int64_t needed = 0;
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const auto& turn = plannedTurns[i];
    const bool asked = turn ? !turn->skip && !turn->unfit : !refusedForRoom(*queue[i]);
    if (asked) needed = addSaturating(needed, std::max<std::int64_t>(0, queue[i]->fileSize()));
  }
  Event space{{"type", std::string("space")}, {"neededBytes", needed}};
  if (destinationRoom.freeBytes) space.emplace_back("freeBytes", *destinationRoom.freeBytes);
  events_.emit(space);
}

// Only the file system's limit on one file: the free space is checked where
// the copy begins, since a copy read ahead already holds its own room when
// its turn comes.
std::optional<DeviceError> Importer::refusedForRoom(const CameraFile& file) const {
  return roomRefusal({std::nullopt, destinationRoom.largestFile}, file.fileSize(),
                     file.devicePath(), dest);
}

void Importer::countUnavailable(const std::string& path, const std::string& name,
                                const DeviceError& error) {
  ++unavailable;
  if (reasons) {
    events_.emit({{"type", std::string("failed")},
                  {"path", path},
                  {"name", name},
                  {"code", std::string(failureCodeName(error.code))},
                  {"message", error.description}});
  }
  emitProgress(name);
}

}  // namespace picferry
