#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "record/import_record.h"

namespace picferry {

// One SQLite connection to the record file, used by one thread at a time.
// The file holds one table, imported(device, path, size, mtime, saved_as,
// recorded_at), one row per file of a device, marked as picferry's by its
// application id.
class RecordDatabase {
 public:
  // Opens an existing file read-only and checks it (SQLite's quick check;
  // picferry's record, or nothing yet). Nothing is written to the file.
  static std::variant<RecordDatabase, RecordFailure> openToRead(const std::string& file);
  // Creates the file when it is absent (its missing folders 0700, the file
  // 0600), checks it as openToRead does, and only then opens it for writing
  // (write-ahead log, busy timeout). A file that fails the check is left as
  // it is.
  static std::variant<RecordDatabase, RecordFailure> openToWrite(const std::string& file);

  std::variant<RecordedFiles, RecordFailure> filesOf(const std::string& device);

  enum class WriteOutcome { written, busy, failed };
  // Writes the entries in one transaction: all of them or none. `busy`:
  // another process held the record past the busy timeout.
  WriteOutcome write(const std::vector<RecordEntry>& entries);

 private:
  struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };
  using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

  RecordDatabase(std::string file, sqlite3* db) : file_(std::move(file)), db_(db) {}
  static std::variant<RecordDatabase, RecordFailure> open(const std::string& file, int flags);
  std::optional<RecordFailure> check();
  std::optional<RecordFailure> createTable();
  RecordFailure failure(const std::string& what) const;
  Statement prepare(const char* sql);
  bool execute(const char* sql);

  std::string file_;
  std::unique_ptr<sqlite3, Closer> db_;
  bool holdsTable_ = false;
  Statement insert_;
};

}  // namespace picferry
