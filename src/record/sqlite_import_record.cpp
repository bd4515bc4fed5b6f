#include "record/sqlite_import_record.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "record/record_database.h"

namespace picferry {

SqliteImportRecord::SqliteImportRecord(std::optional<std::string> file) : file_(std::move(file)) {}

SqliteImportRecord::~SqliteImportRecord() {
  std::thread writer;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    writer = std::move(writer_);
  }
  changed_.notify_all();
  if (writer.joinable()) writer.join();
}

std::variant<RecordedFiles, RecordFailure> SqliteImportRecord::filesOf(const std::string& device) {
  if (!file_) return RecordFailure{"There is no home folder to keep the import record in."};
  struct stat st {};
  if (::stat(file_->c_str(), &st) != 0) {
    // No record yet: nothing was imported.
    if (errno == ENOENT || errno == ENOTDIR) return RecordedFiles{};
    return RecordFailure{"The import record " + *file_ +
                         " cannot be read: " + std::strerror(errno)};
  }
  if (!S_ISREG(st.st_mode)) {
    return RecordFailure{"The import record " + *file_ + " cannot be read: it is not a file."};
  }
  auto opened = RecordDatabase::openToRead(*file_);
  if (auto* failed = std::get_if<RecordFailure>(&opened)) return std::move(*failed);
  return std::get<RecordDatabase>(opened).filesOf(device);
}

void SqliteImportRecord::add(RecordEntry entry) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    if (!file_ || ended_) return;
    // Only the first entry of a batch wakes the writer; it gathers the rest.
    first = pending_.empty();
    pending_.push_back(std::move(entry));
    if (!writer_.joinable()) writer_ = std::thread([this] { writeAll(); });
  }
  if (first) changed_.notify_all();
}

void SqliteImportRecord::flush(double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  ++flushing_;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [this] { return idle(); });
  --flushing_;
}

bool SqliteImportRecord::idle() const { return ended_ || (pending_.empty() && !writing_); }

// The writer: opens the file at its first batch, then writes the entries
// gathered for kGatherTime as one transaction. A batch refused because
// another process held the file past the busy timeout is tried again with the
// next one.
void SqliteImportRecord::writeAll() {
  std::optional<RecordDatabase> database;
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;
    changed_.wait_for(lock, kGatherTime, [this] { return stopping_ || flushing_ > 0; });
    std::vector<RecordEntry> batch = std::move(pending_);
    pending_.clear();
    writing_ = true;
    lock.unlock();
    auto outcome = RecordDatabase::WriteOutcome::failed;
    // Another process creating the record at the same moment can refuse an
    // open for an instant (its first transaction, its switch to WAL): tried
    // again before recording ends.
    for (int attempt = 0; !database && attempt < kOpenAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kOpenRetryPause);
      auto opened = RecordDatabase::openToWrite(*file_);
      if (auto* ready = std::get_if<RecordDatabase>(&opened)) database.emplace(std::move(*ready));
    }
    if (database) outcome = database->write(batch);
    lock.lock();
    writing_ = false;
    if (outcome == RecordDatabase::WriteOutcome::busy && !stopping_) {
      pending_.insert(pending_.begin(), std::make_move_iterator(batch.begin()),
                      std::make_move_iterator(batch.end()));
    } else if (outcome == RecordDatabase::WriteOutcome::failed) {
      ended_ = true;
      pending_.clear();
    }
    // Once recording has ended, nothing more is added: the writer waits to be
    // stopped (a thread that ended unjoined would be one left behind).
    changed_.notify_all();
  }
}

}  // namespace picferry
