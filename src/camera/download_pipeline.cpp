#include "camera/download_pipeline.h"

#include <algorithm>

#include "destination/failure_code.h"
#include "destination/file_names.h"
#include "platform/file_system_room.h"

namespace picferry {
namespace {

DeviceError closedBefore(const CameraFile& file) {
  return {"The device was closed before " + file.name().value_or("the file") +
              " could be copied.",
          FailureCode::deviceDisconnected};
}

// Whether the copy the controller is expected to ask for next can be read
// ahead: its name is one the controller keeps as it is, and the folder does
// not hold it yet (it may then be skipped).
bool worthReadingAhead(const std::string& directory, const CameraFile& file) {
  const auto name = file.name();
  return name && isSafeFileName(*name) && nameIsFree(directory, *name);
}

}  // namespace

struct DownloadPipeline::Copy {
  Copy(std::shared_ptr<CameraFile> f, std::string dir, std::string l)
      : file(std::move(f)), directory(std::move(dir)), label(std::move(l)) {}

  const std::shared_ptr<CameraFile> file;
  const std::string directory;
  const std::string label;  // the name the temporary file's messages use
  std::atomic<bool> abandoned{false};
  // Touched only by the thread working on the copy: the worker, then a
  // flusher, then the namer, each handing it on.
  std::unique_ptr<DurableFile> out;

  // Guarded by the pipeline's mutex_.
  std::shared_ptr<const GrowingFile> growing;  // once the copy's file exists
  std::optional<DownloadRequest> request;
  bool ready = false;  // transferred and flushed, or failed
  std::optional<DeviceError> error;
  bool naming = false;
  bool answered = false;
};

DownloadPipeline::DownloadPipeline(DownloadPipelineHost& host)
    : host_(host), namer_(std::make_unique<WorkerThread>()) {
  for (std::size_t i = 0; i < kAheadFiles; ++i) {
    flushers_.push_back(std::make_unique<WorkerThread>());
  }
}

DownloadPipeline::~DownloadPipeline() {
  abandonAll();
  flushers_.clear();
  namer_.reset();
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
    host_.report(std::move(request), std::move(error));
  }
}

void DownloadPipeline::abandonAll() {
  std::lock_guard lock(mutex_);
  for (const auto& copy : copies_) copy->abandoned.store(true);
}

void DownloadPipeline::request(DownloadRequest request) {
  std::vector<std::shared_ptr<Copy>> started;
  std::shared_ptr<Copy> copy;
  bool answerNow = false;
  {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(copies_.begin(), copies_.end(), [&](const auto& c) {
      return !c->request && c->file == request.file &&
             c->directory == request.options.downloadsDirectory;
    });
    if (found != copies_.end()) {
      dropFrom(copies_.begin(), found);
      copy = copies_.front();
    } else {
      // A file passed over by the read-ahead (its name was taken) keeps the
      // copies of the files after it; any other request drops them all.
      if (!readAheadPassedOver(request)) dropFrom(copies_.begin(), copies_.end());
      copy = std::make_shared<Copy>(request.file, request.options.downloadsDirectory,
                                    request.options.saveAsFilename);
      copies_.push_front(copy);
      started.push_back(copy);
    }
    copy->request = std::move(request);
    answerNow = takeForAnswer(*copy);
    readAhead(&started);
  }
  for (const auto& c : started) startTransfer(c);
  if (answerNow) answer(copy);
}

std::optional<std::int64_t> DownloadPipeline::bytesCopied(const CameraFile& file) {
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

// A copy is answered once it is both requested and ready, by whichever of
// the two events comes second.
bool DownloadPipeline::takeForAnswer(Copy& copy) {
  if (!copy.request || !copy.ready || copy.naming) return false;
  copy.naming = true;
  return true;
}

void DownloadPipeline::dropFrom(std::deque<std::shared_ptr<Copy>>::iterator first,
                                std::deque<std::shared_ptr<Copy>>::iterator last) {
  for (auto it = first; it != last; ++it) (*it)->abandoned.store(true);
  copies_.erase(first, last);
}

// Whether the copies read ahead are of files that follow the requested one
// closely enough: the read-ahead passed it over.
bool DownloadPipeline::readAheadPassedOver(const DownloadRequest& request) const {
  if (copies_.empty() || copies_.front()->directory != request.options.downloadsDirectory) {
    return false;
  }
  auto file = request.file;
  for (int step = 0; file && step <= kTakenNamesPassed; ++step) {
    file = host_.fileAfter(*file);
    if (file == copies_.front()->file) return true;
  }
  return false;
}

// The files after the last copy under way, in catalogue order, up to the
// limits; each is a new copy into the requested copy's folder.
void DownloadPipeline::readAhead(std::vector<std::shared_ptr<Copy>>* started) {
  const std::string directory = copies_.front()->directory;
  std::size_t ahead = 0;
  std::int64_t bytes = 0;
  for (const auto& copy : copies_) {
    if (copy->request) continue;
    ++ahead;
    bytes += std::max<std::int64_t>(0, copy->file->fileSize());
  }
  auto last = copies_.back()->file;
  int passed = 0;
  while (ahead < kAheadFiles) {
    auto next = host_.fileAfter(*last);
    if (!next) return;
    last = next;
    const auto size = std::max<std::int64_t>(0, next->fileSize());
    if (ahead > 0 && bytes + size > kAheadBytes) return;
    if (!worthReadingAhead(directory, *next)) {
      if (++passed > kTakenNamesPassed) return;
      continue;
    }
    auto copy = std::make_shared<Copy>(next, directory, *next->name());
    copies_.push_back(copy);
    started->push_back(std::move(copy));
    ++ahead;
    bytes += size;
  }
}

void DownloadPipeline::startTransfer(const std::shared_ptr<Copy>& copy) {
  host_.runOnDevice([this, copy] { transfer(copy); },
                    [this, copy] { finish(copy, closedBefore(*copy->file)); });
}

// On the worker.
void DownloadPipeline::transfer(const std::shared_ptr<Copy>& copy) {
  if (copy->abandoned.load()) return finish(copy, closedBefore(*copy->file));
  // Checked where the copy would take its room, read ahead or not: a file
  // that cannot fit fails before the device is asked for a byte of it.
  if (auto unfit = roomRefusal(os::roomOf(copy->directory), copy->file->fileSize(),
                               copy->file->devicePath(), copy->directory)) {
    return finish(copy, std::move(unfit));
  }
  DeviceError error;
  auto out = DurableFile::create(copy->directory, copy->label, &error);
  if (!out) return finish(copy, error);
  auto growing = std::make_shared<const GrowingFile>(out->fd());
  {
    std::lock_guard lock(mutex_);
    copy->growing = std::move(growing);
  }
  if (auto failed = host_.transfer(*copy->file, *out, copy->abandoned)) {
    return finish(copy, std::move(failed));
  }
  if (copy->abandoned.load()) return finish(copy, closedBefore(*copy->file));
  copy->out = std::move(out);
  WorkerThread* flusher;
  {
    std::lock_guard lock(mutex_);
    flusher = flushers_[nextFlusher_++ % flushers_.size()].get();
  }
  flusher->submit([this, copy] { flush(copy); },
                  [this, copy] { finish(copy, closedBefore(*copy->file)); });
}

// On a flusher: the data reaches the disk while the device sends the next file.
void DownloadPipeline::flush(const std::shared_ptr<Copy>& copy) {
  if (copy->abandoned.load()) return finish(copy, closedBefore(*copy->file));
  if (auto failed = copy->out->flushData()) return finish(copy, std::move(failed));
  bool answerNow = false;
  {
    std::lock_guard lock(mutex_);
    copy->ready = true;
    answerNow = takeForAnswer(*copy);
  }
  if (answerNow) answer(copy);
}

// Once a ready copy is requested: its failure, or its name on the namer.
void DownloadPipeline::answer(const std::shared_ptr<Copy>& copy) {
  std::optional<DeviceError> error;
  {
    std::lock_guard lock(mutex_);
    error = copy->error;
  }
  if (error) return finish(copy, std::move(error));
  namer_->submit(
      [this, copy] {
        std::string savedName;
        auto error = copy->out->claimName(copy->request->options.saveAsFilename, &savedName);
        finish(copy, std::move(error), std::move(savedName));
      },
      [this, copy] { finish(copy, closedBefore(*copy->file)); });
}

// The copy's outcome: told at once when it is requested, else kept for the
// request (or dropped with the copy).
void DownloadPipeline::finish(const std::shared_ptr<Copy>& copy, std::optional<DeviceError> error,
                              std::string savedName) {
  std::optional<DownloadRequest> request;
  {
    std::lock_guard lock(mutex_);
    copy->ready = true;
    if (!copy->error) copy->error = error;
    // A failed copy gives its room back now, not at its turn: its unnamed
    // file lives on while this descriptor is open.
    if (copy->error) copy->growing.reset();
    if (!copy->request || copy->answered) {
      return;
    }
    copy->answered = true;
    request = copy->request;
    auto it = std::find(copies_.begin(), copies_.end(), copy);
    if (it != copies_.end()) copies_.erase(it);
  }
  if (!error) request->options.savedFilename = std::move(savedName);
  host_.report(std::move(*request), std::move(error));
}

}  // namespace picferry
