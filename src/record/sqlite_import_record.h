#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/import_record.h"

namespace picferry {

// The record in an SQLite file. Entries are written by a thread of its own,
// started by the first add(), so that a slow disk or another process holding
// the file never holds up the caller. An entry waits up to kGatherTime for
// others (unless a flush asks for it), and each batch is one transaction: a
// transaction per file would append whole pages to the log for each file and
// flush them to disk at every checkpoint, competing with the import's own
// flushes.
// Two processes recording at once each wait for the other's transaction
// (write-ahead log and a busy timeout), and neither loses an entry. The
// first failure to open or write the file (other than waiting for another
// process) ends recording for the run. Methods: any one thread at a time.
class SqliteImportRecord final : public ImportRecord {
 public:
  static constexpr std::chrono::milliseconds kGatherTime{250};
  static constexpr int kOpenAttempts = 10;
  static constexpr std::chrono::milliseconds kOpenRetryPause{50};

  // `file` absent: there is no place for a record (no home folder).
  explicit SqliteImportRecord(std::optional<std::string> file);
  // Writes what is pending, unless recording has ended, and stops the writer.
  ~SqliteImportRecord() override;
  SqliteImportRecord(const SqliteImportRecord&) = delete;
  SqliteImportRecord& operator=(const SqliteImportRecord&) = delete;

  std::variant<RecordedFiles, RecordFailure> filesOf(const std::string& device) override;
  void add(RecordEntry entry) override;
  void flush(double timeoutSeconds) override;

 private:
  void writeAll();
  bool idle() const;  // mutex_ held

  const std::optional<std::string> file_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordEntry> pending_;  // guarded by mutex_
  bool writing_ = false;              // a batch is being written; guarded by mutex_
  bool ended_ = false;                // recording gave up; guarded by mutex_
  bool stopping_ = false;             // guarded by mutex_
  int flushing_ = 0;                  // flushes waiting; guarded by mutex_
  std::thread writer_;                // guarded by mutex_
};

}  // namespace picferry
