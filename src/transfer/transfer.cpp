#include "transfer/transfer.h"

#include <algorithm>
#include <cstring>

#include "destination/failure_code.h"
#include "destination/growing_file.h"

namespace picferry {
namespace {

DeviceError closedBefore(const CameraFile& file) {
  return {"The device was closed before " + file.name().value_or("the file") +
              " could be copied.",
          FailureCode::deviceDisconnected};
}

}  // namespace

struct Transfer::Copy {
  Copy(std::shared_ptr<CameraFile> f, std::string dir, std::string name, bool ahead)
      : file(std::move(f)), directory(std::move(dir)), saveAs(std::move(name)), nameAhead(ahead) {}

  const std::shared_ptr<CameraFile> file;
  const std::string directory;
  const std::string saveAs;  // the name asked for (a numbered variant may be given)
  const bool nameAhead;
  std::atomic<bool> abandoned{false};
  // Touched only by the thread working on the copy: the worker, then the
  // committer. The folder outlives the file.
  std::shared_ptr<DestinationFolder> folder;
  std::unique_ptr<DurableFile> out;
  bool dataFlushed = false;

  // Guarded by the transfer's mutex_.
  enum class Stage { copying, written, durable, failed } stage = Stage::copying;
  std::shared_ptr<const GrowingFile> growing;  // once the copy's file exists
  std::optional<DownloadRequest> request;
  std::optional<DeviceError> error;
  std::string savedName;
  bool answered = false;
};

Transfer::Transfer(MainQueue& mainQueue, TransferSource& source, OpenFolder openFolder)
    : mainQueue_(mainQueue),
      source_(source),
      openFolder_(std::move(openFolder)),
      committer_(std::make_unique<WorkerThread>()) {}

Transfer::~Transfer() {
  abandonAll();
  committer_.reset();
  std::vector<DownloadRequest> unanswered;
  {
    std::lock_guard lock(mutex_);
    for (const auto& copy : copies_) {
      if (copy->request && !copy->answered) {
        copy->answered = true;
        unanswered.push_back(*copy->request);
      }
    }
    copies_.clear();
  }
  for (auto& request : unanswered) {
    auto error = closedBefore(*request.file);
    report(std::move(request), std::move(error), {});
  }
}

void Transfer::abandonAll() {
  std::lock_guard lock(mutex_);
  for (const auto& copy : copies_) copy->abandoned.store(true);
}

void Transfer::plan(const std::string& directory, std::vector<PlannedDownload> files) {
  std::lock_guard lock(mutex_);
  drop(copies_.begin(), copies_.end());
  directory_ = directory;
  plan_ = std::move(files);
  next_ = 0;
}

void Transfer::request(DownloadRequest request) {
  if (request.options.reportProgress && request.delegate) {
    watched_ = WatchedCopy{request.file, request.delegate, std::chrono::steady_clock::now()};
    if (!sampling_) sampleProgressAfter(kProgressInterval);
  }
  std::vector<std::shared_ptr<Copy>> started;
  std::optional<DownloadRequest> answer;
  std::shared_ptr<Copy> copy;
  {
    std::lock_guard lock(mutex_);
    copy = takeCopyFor(request, &started);
    copy->request = std::move(request);
    answer = takeAnswer(copy);
    readAhead(&started);
  }
  for (const auto& c : started) {
    source_.runOnDevice([this, c] { this->copy(c); },
                        [this, c] { fail(c, closedBefore(*c->file)); });
  }
  if (answer) {
    report(std::move(*answer), copy->error, copy->savedName);
  } else {
    kick();
  }
}

// The copy that answers `request`: the one copied ahead for it, else a new
// one at the front. Planned files passed over by the controller (it decided
// at their turn to leave them out) are dropped; a request outside the plan
// keeps the copies of the plan for later.
std::shared_ptr<Transfer::Copy> Transfer::takeCopyFor(
    const DownloadRequest& request, std::vector<std::shared_ptr<Copy>>* started) {
  const std::string& directory = request.options.downloadsDirectory;
  if (directory != directory_) {
    drop(copies_.begin(), copies_.end());
    plan_.clear();
    next_ = 0;
    directory_ = directory;
  }
  const auto found = std::find_if(copies_.begin(), copies_.end(), [&](const auto& c) {
    return !c->request && c->file == request.file;
  });
  if (found != copies_.end()) {
    drop(copies_.begin(), found);
    return copies_.front();
  }
  const auto planned =
      std::find_if(plan_.begin() + static_cast<std::ptrdiff_t>(next_), plan_.end(),
                   [&](const PlannedDownload& p) { return p.file == request.file; });
  if (planned != plan_.end()) {
    drop(copies_.begin(), copies_.end());
    next_ = static_cast<std::size_t>(planned - plan_.begin()) + 1;
  }
  auto copy = std::make_shared<Copy>(request.file, directory, request.options.saveAsFilename,
                                     false);
  copies_.push_front(copy);
  started->push_back(copy);
  return copy;
}

// The planned files after the last copy under way, up to the limits.
void Transfer::readAhead(std::vector<std::shared_ptr<Copy>>* started) {
  std::size_t ahead = 0;
  std::int64_t bytes = 0;
  for (const auto& copy : copies_) {
    if (copy->request) continue;
    ++ahead;
    bytes += std::max<std::int64_t>(0, copy->file->fileSize());
  }
  while (next_ < plan_.size() && ahead < kAheadFiles) {
    const PlannedDownload& next = plan_[next_];
    const auto size = std::max<std::int64_t>(0, next.file->fileSize());
    if (ahead > 0 && bytes + size > kAheadBytes) return;
    auto copy = std::make_shared<Copy>(next.file, directory_, next.saveAs, next.nameAhead);
    copies_.push_back(copy);
    started->push_back(std::move(copy));
    ++next_;
    ++ahead;
    bytes += size;
  }
}

void Transfer::drop(Copies::iterator first, Copies::iterator last) {
  for (auto it = first; it != last; ++it) (*it)->abandoned.store(true);
  copies_.erase(first, last);
}

// A copy is answered once it is both requested and durable (or failed), by
// whichever of the two events comes second.
std::optional<DownloadRequest> Transfer::takeAnswer(const std::shared_ptr<Copy>& copy) {
  using Stage = Copy::Stage;
  if (!copy->request || copy->answered ||
      (copy->stage != Stage::durable && copy->stage != Stage::failed)) {
    return std::nullopt;
  }
  copy->answered = true;
  const auto it = std::find(copies_.begin(), copies_.end(), copy);
  if (it != copies_.end()) copies_.erase(it);
  return copy->request;
}

// The bytes so far of the copy that answers the request for `file`, or
// nothing once that request is answered.
std::optional<std::int64_t> Transfer::bytesCopied(const CameraFile& file) {
  std::shared_ptr<const GrowingFile> growing;
  {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(copies_.begin(), copies_.end(), [&](const auto& c) {
      return c->request && c->file.get() == &file;
    });
    if (found == copies_.end()) return std::nullopt;
    growing = (*found)->growing;
  }
  return growing ? growing->size() : 0;
}

std::shared_ptr<DestinationFolder> Transfer::folderFor(const std::string& directory,
                                                       DeviceError* error) {
  std::lock_guard lock(folderMutex_);
  if (!folder_ || folder_->path() != directory) {
    int err = 0;
    folder_ = openFolder_(directory, &err);
    if (!folder_) {
      *error = {"Could not open the folder " + directory + ": " + std::strerror(err),
                FailureCode::destinationFailed};
      return nullptr;
    }
  }
  return folder_;
}

// On the worker: the device's bytes into an unnamed file, then the checks
// every route shares (size, date).
void Transfer::copy(const std::shared_ptr<Copy>& copy) {
  if (copy->abandoned.load()) return fail(copy, closedBefore(*copy->file));
  DeviceError error;
  copy->folder = folderFor(copy->directory, &error);
  if (!copy->folder) return fail(copy, error);
  const CameraFile& file = *copy->file;
  // Checked where the copy would take its room, copied ahead or not: a file
  // that cannot fit fails before the device is asked for a byte of it.
  if (auto unfit = roomRefusal(copy->folder->room(), file.sizeIsKnown() ? file.fileSize() : -1,
                               file.devicePath(), copy->directory)) {
    return fail(copy, std::move(*unfit));
  }
  auto out = DurableFile::create(*copy->folder, copy->saveAs, &error);
  if (!out) return fail(copy, error);
  auto growing = std::make_shared<const GrowingFile>(out->fd());
  {
    std::lock_guard lock(mutex_);
    copy->growing = std::move(growing);
  }
  auto failed = source_.copy(file, *out, copy->abandoned);
  if (!failed && copy->abandoned.load()) failed = closedBefore(file);
  if (!failed) {
    failed = out->finishWriting(file.sizeIsKnown() ? file.fileSize() : -1,
                                file.modificationDate());
  }
  if (failed) return fail(copy, std::move(*failed));
  copy->out = std::move(out);
  {
    std::lock_guard lock(mutex_);
    copy->stage = Copy::Stage::written;
  }
  kick();
}

void Transfer::kick() {
  std::lock_guard lock(mutex_);
  if (roundQueued_) return;
  roundQueued_ = true;
  committer_->submit([this] { commitRound(); });
}

// On the committer: flushes the data of every copy written since the last
// round, then names and flushes those that may be named now, in order.
void Transfer::commitRound() {
  std::vector<std::shared_ptr<Copy>> unflushed;
  bool groups = true;
  {
    std::lock_guard lock(mutex_);
    roundQueued_ = false;
    for (const auto& copy : copies_) {
      const bool underWay = copy->stage == Copy::Stage::copying ||
                            (copy->stage == Copy::Stage::written && !copy->dataFlushed);
      // A flush of the whole file system would wait for every byte of a
      // large copy still being written: the files before it are then
      // flushed on their own, and counted without waiting for it.
      if (underWay && copy->file->fileSize() > kGroupedCopyBytes) groups = false;
      if (copy->stage == Copy::Stage::written && !copy->dataFlushed && !copy->abandoned) {
        if (!copy->folder->flushesInGroups()) groups = false;
        unflushed.push_back(copy);
      }
    }
  }
  flushData(unflushed, groups);
  std::vector<std::shared_ptr<Copy>> namable;
  {
    std::lock_guard lock(mutex_);
    for (const auto& copy : copies_) {
      if (copy->stage == Copy::Stage::failed || copy->stage == Copy::Stage::durable) continue;
      if (copy->stage != Copy::Stage::written || !copy->dataFlushed || copy->abandoned) break;
      const bool grouped = groups && copy->folder->flushesInGroups();
      if (!copy->request && !(copy->nameAhead && grouped)) break;
      namable.push_back(copy);
      if (!grouped) break;
    }
  }
  nameAndFlush(namable, groups);
}

void Transfer::flushData(const std::vector<std::shared_ptr<Copy>>& copies, bool groups) {
  const int groupError = groups && !copies.empty() ? copies.front()->folder->flushFileSystem() : 0;
  for (const auto& copy : copies) {
    auto failed = groups ? (groupError ? std::optional(copy->out->flushFailure(groupError))
                                       : std::nullopt)
                         : copy->out->flushData();
    if (failed) {
      copy->out.reset();
      fail(copy, std::move(*failed));
    } else {
      copy->dataFlushed = true;
    }
  }
}

void Transfer::nameAndFlush(const std::vector<std::shared_ptr<Copy>>& copies, bool groups) {
  std::vector<std::shared_ptr<Copy>> named;
  for (const auto& copy : copies) {
    std::string savedName;
    if (auto failed = copy->out->claimName(copy->saveAs, &savedName)) {
      copy->out.reset();
      fail(copy, std::move(*failed));
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      copy->savedName = std::move(savedName);
    }
    named.push_back(copy);
  }
  if (named.empty()) return;
  // In a group, one flush of the file system makes every name durable; XFS
  // looks for its own death at the start of that flush, so a success is
  // never answered for a log it cancelled.
  groups = groups && named.front()->folder->flushesInGroups();
  const int groupError = groups ? named.front()->folder->flushFileSystem() : 0;
  for (const auto& copy : named) {
    auto failed = groups ? (groupError ? std::optional(copy->out->flushFailure(groupError))
                                       : std::nullopt)
                         : copy->out->flushName();
    copy->out.reset();  // the complete file keeps its name either way
    if (failed) {
      fail(copy, std::move(*failed));
    } else {
      markDurable(copy);
    }
  }
}

void Transfer::fail(const std::shared_ptr<Copy>& copy, DeviceError error) {
  std::optional<DownloadRequest> answer;
  {
    std::lock_guard lock(mutex_);
    copy->stage = Copy::Stage::failed;
    if (!copy->error) copy->error = std::move(error);
    // A failed copy gives its room back now, not at its turn: its unnamed
    // file lives on while this descriptor is open.
    copy->growing.reset();
    answer = takeAnswer(copy);
  }
  if (answer) report(std::move(*answer), copy->error, {});
}

void Transfer::markDurable(const std::shared_ptr<Copy>& copy) {
  std::optional<DownloadRequest> answer;
  {
    std::lock_guard lock(mutex_);
    copy->stage = Copy::Stage::durable;
    copy->growing.reset();
    answer = takeAnswer(copy);
  }
  if (answer) report(std::move(*answer), std::nullopt, copy->savedName);
}

void Transfer::report(DownloadRequest request, std::optional<DeviceError> error,
                      std::string savedName) {
  if (!request.delegate) return;
  if (!error) request.options.savedFilename = std::move(savedName);
  mainQueue_.post([request = std::move(request), error = std::move(error)] {
    request.delegate->didDownloadFile(request.file, error, request.options, request.contextInfo);
  });
}

}  // namespace picferry
