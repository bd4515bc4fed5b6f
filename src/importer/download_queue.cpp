#include "destination/file_names.h"
#include "importer/importer.h"
#include "platform/paths.h"

namespace picferry {
namespace {

// Names come from the device: the name a file is saved under is always one
// path component inside the destination, never "", ".", "..", nor holding
// '/' or NUL.
std::string safeFileName(const std::string& name, std::int64_t position) {
  if (name.empty()) return "file-" + std::to_string(position);
  if (name == "." || name == "..") return std::string(name.size(), '_');
  std::string safe = name;
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '_';
  }
  return safe;
}

// Times at most a second apart count as the same: FAT keeps times to 2 s,
// dropping the odd second. Any two values, without overflow.
bool sameModificationTime(std::int64_t device, std::int64_t destination) {
  const auto a = static_cast<std::uint64_t>(device);
  const auto b = static_cast<std::uint64_t>(destination);
  return (device < destination ? b - a : a - b) <= 1;
}

}  // namespace

void Importer::requestImport(PendingImport request) {
  if (importing) return;
  pendingImport = std::move(request);
  if (finalized) beginPendingImport();
}

void Importer::beginPendingImport() {
  if (!pendingImport || importing) return;
  dest = pendingImport->dest;
  skipExisting = pendingImport->skip;
  byteProgress = pendingImport->byteProgress;
  newOnly = pendingImport->newOnly;
  reasons = pendingImport->reasons;
  if (const auto failure = platform_.fileSystem.createDirectories(dest)) {
    events_.emitError("dest_unwritable", *failure);
    platform_.process.exit(1);
  }
  chooseFiles(pendingImport->only);
  importing = true;
  startDownloads();
}

// Takes files until one download is requested; skipped files loop here
// rather than recurse, so a long run of them keeps the stack flat.
void Importer::downloadNext() {
  while (true) {
    if (idx >= static_cast<std::int64_t>(queue.size())) {
      for (const std::string& path : absentPaths) {
        countUnavailable(path, path.substr(path.rfind('/') + 1),
                         {path + " is not on the device: its catalogue does not hold it.",
                          FailureCode::notOnDevice});
      }
      emitDoneAndExit();
    }
    const auto file = queue[static_cast<std::size_t>(idx)];
    ++idx;
    const auto planned = static_cast<std::size_t>(idx - 1);
    const FileTurn turn = planned < plannedTurns.size() && plannedTurns[planned]
                              ? std::move(*plannedTurns[planned])
                              : decideTurn(*file, idx);
    if (turn.skip) {
      if (!turn.found.empty()) recordSaved(*file, turn.found);
      ++skipped;
      emitProgress(turn.name);
      continue;
    }
    if (turn.unfit) {
      countUnavailable(file->devicePath(), file->name().value_or("file"), *turn.unfit);
      continue;
    }
    if (camera) {
      camera->requestDownloadFile(file, DownloadOptions{dest, turn.saveAs, false, byteProgress},
                                  this, nullptr);
    }
    return;
  }
}

// What the import does with the file at 1-based `position` of the queue.
Importer::FileTurn Importer::decideTurn(const CameraFile& file, std::int64_t position) {
  FileTurn turn;
  turn.name = file.name().value_or("file-" + std::to_string(position));
  turn.saveAs = safeFileName(turn.name, position);
  turn.skip = (newOnly && isRecorded(file)) ||
              (skipExisting && isAlreadyImported(file, turn.saveAs, &turn.found));
  if (!turn.skip) turn.unfit = refusedForRoom(file);
  return turn;
}

// The destination holds this very file: under its name or one of its numbered
// variants, a regular file of the device's size (and date, where the device
// tells one, within a second). A folder under its name counts too. The first
// free variant ends the search: a copy would take it.
bool Importer::isAlreadyImported(const CameraFile& file, const std::string& saveAs,
                                 std::string* foundFile) {
  const auto mtime = file.modificationDate();
  for (int attempt = 0; attempt < kMaxNumberedNames; ++attempt) {
    const std::string path = joinPath(dest, numberedFileName(saveAs, attempt));
    const auto found = platform_.fileSystem.entry(path);
    if (!found) return false;
    if (attempt == 0 && found->kind == FileEntry::Kind::directory) return true;
    if (found->kind == FileEntry::Kind::regularFile && found->size == file.fileSize() &&
        (!mtime || sameModificationTime(*mtime, found->mtime))) {
      *foundFile = path;
      return true;
    }
  }
  return false;
}

void Importer::emitProgress(const std::string& name) {
  events_.emit({{"type", std::string("progress")},
                {"done", downloaded + skipped + unavailable},
                {"total", total},
                {"name", name}});
}

void Importer::didDownloadFile(const std::shared_ptr<CameraFile>& file,
                               const std::optional<DeviceError>& error,
                               const DownloadOptions& options, void*) {
  if (error) {
    countUnavailable(file->devicePath(), file->name().value_or("file"), *error);
  } else {
    ++downloaded;
    recordSaved(*file, joinPath(dest, options.savedFilename));
    emitProgress(file->name().value_or("file"));
  }
  downloadNext();
}

}  // namespace picferry
