#include "record/record_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace picferry {
namespace {

// Marks the file as picferry's record ("PicF").
constexpr int kApplicationId = 0x50696346;
// How long a write waits for another process holding the record.
constexpr int kBusyTimeoutMilliseconds = 5000;

constexpr const char* kCreateTable =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS imported ("
    "  device TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,"
    "  mtime INTEGER,"  // NULL: the device tells none
    "  saved_as TEXT NOT NULL, recorded_at INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS imported_file"
    "  ON imported (device, path, size, ifnull(mtime, 'none'));"
    "PRAGMA application_id = 1349083974;"  // kApplicationId
    "COMMIT;";
static_assert(kApplicationId == 1349083974);

// A later import of the same file replaces its row: where it went and when.
constexpr const char* kInsert =
    "INSERT OR REPLACE INTO imported (device, path, size, mtime, saved_as, recorded_at)"
    " VALUES (?1, ?2, ?3, ?4, ?5, CAST(strftime('%s', 'now') AS INTEGER))";

// Creates `folder` and its missing parents, each new one 0700; 0 or an errno.
int createFolders(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string prefix = folder.substr(0, end);
    if (::mkdir(prefix.c_str(), 0700) != 0) {
      if (errno != EEXIST) return errno;
      struct stat st {};
      if (::stat(prefix.c_str(), &st) != 0) return errno;
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    }
    if (end == std::string::npos) return 0;
  }
}

std::string folderOf(const std::string& file) {
  const auto slash = file.rfind('/');
  return slash == 0 ? "/" : file.substr(0, slash);
}

}  // namespace

std::variant<RecordDatabase, RecordFailure> RecordDatabase::open(const std::string& file,
                                                                 int flags) {
  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  RecordDatabase opened(file, db);  // owns the connection even when opening failed
  if (result != SQLITE_OK) return opened.failure("cannot be opened");
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  return opened;
}

std::variant<RecordDatabase, RecordFailure> RecordDatabase::openToRead(const std::string& file) {
  auto opened = open(file, SQLITE_OPEN_READONLY);
  if (auto* database = std::get_if<RecordDatabase>(&opened)) {
    if (auto failed = database->check()) return *failed;
  }
  return opened;
}

std::variant<RecordDatabase, RecordFailure> RecordDatabase::openToWrite(const std::string& file) {
  if (const int error = createFolders(folderOf(file))) {
    return RecordFailure{"The import record's folder " + folderOf(file) +
                         " cannot be created: " + std::strerror(error)};
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);  // an empty file is an empty database
  } else if (errno != EEXIST) {
    return RecordFailure{"The import record " + file +
                         " cannot be created: " + std::strerror(errno)};
  }
  // Checked read-only first, so that a damaged file is never written to.
  auto checked = openToRead(file);
  if (const auto* failed = std::get_if<RecordFailure>(&checked)) return *failed;
  const bool holdsTable = std::get<RecordDatabase>(checked).holdsTable_;

  auto opened = open(file, SQLITE_OPEN_READWRITE);
  auto* database = std::get_if<RecordDatabase>(&opened);
  if (!database) return opened;
  database->holdsTable_ = holdsTable;
  // Readers never wait for the writer, and a commit is not flushed: a
  // power cut may lose the latest entries, whose files are then copied again.
  if (!database->execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL")) {
    return database->failure("cannot be written");
  }
  if (!holdsTable) {
    if (auto failed = database->createTable()) return *failed;
  }
  database->insert_ = database->prepare(kInsert);
  if (!database->insert_) return database->failure("cannot be written");
  return opened;
}

// SQLite's quick check of the whole file, then whose it is: picferry's
// record, or an empty database (a record not yet written).
std::optional<RecordFailure> RecordDatabase::check() {
  const Statement quickCheck = prepare("PRAGMA quick_check(1)");
  if (!quickCheck || sqlite3_step(quickCheck.get()) != SQLITE_ROW) {
    return failure("cannot be read");
  }
  const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(quickCheck.get(), 0));
  if (!verdict || std::strcmp(verdict, "ok") != 0) {
    return RecordFailure{"The import record " + file_ +
                         " is damaged: " + (verdict ? verdict : "no verdict")};
  }
  const Statement owner = prepare(
      "SELECT (SELECT application_id FROM pragma_application_id),"
      " (SELECT count(*) FROM sqlite_master WHERE name = 'imported'),"
      " (SELECT count(*) FROM sqlite_master)");
  if (!owner || sqlite3_step(owner.get()) != SQLITE_ROW) return failure("cannot be read");
  const int applicationId = sqlite3_column_int(owner.get(), 0);
  holdsTable_ = sqlite3_column_int(owner.get(), 1) == 1;
  const bool empty = sqlite3_column_int(owner.get(), 2) == 0;
  if (empty || (applicationId == kApplicationId && holdsTable_)) return std::nullopt;
  return RecordFailure{"The import record " + file_ +
                       " is not an import record of picferry: another program's database"
                       " is in its place."};
}

std::optional<RecordFailure> RecordDatabase::createTable() {
  if (execute(kCreateTable)) {
    holdsTable_ = true;
    return std::nullopt;
  }
  auto failed = failure("cannot be written");
  execute("ROLLBACK");
  return failed;
}

std::variant<RecordedFiles, RecordFailure> RecordDatabase::filesOf(const std::string& device) {
  RecordedFiles files;
  if (!holdsTable_) return files;
  const Statement select = prepare("SELECT path, size, mtime FROM imported WHERE device = ?1");
  if (!select) return failure("cannot be read");
  sqlite3_bind_text(select.get(), 1, device.data(), static_cast<int>(device.size()), SQLITE_STATIC);
  int result;
  while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
    const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    RecordedFileKey key{std::string(path ? path : "", static_cast<std::size_t>(
                                                          sqlite3_column_bytes(select.get(), 0))),
                        sqlite3_column_int64(select.get(), 1), std::nullopt};
    if (sqlite3_column_type(select.get(), 2) != SQLITE_NULL) {
      key.mtime = sqlite3_column_int64(select.get(), 2);
    }
    files.insert(std::move(key));
  }
  if (result != SQLITE_DONE) return failure("cannot be read");
  return files;
}

RecordDatabase::WriteOutcome RecordDatabase::write(const std::vector<RecordEntry>& entries) {
  const auto outcome = [this] {
    return sqlite3_errcode(db_.get()) == SQLITE_BUSY ? WriteOutcome::busy : WriteOutcome::failed;
  };
  if (!execute("BEGIN IMMEDIATE")) return outcome();
  sqlite3_stmt* insert = insert_.get();
  const auto bindText = [insert](int index, const std::string& text) {
    sqlite3_bind_text(insert, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  };
  for (const RecordEntry& entry : entries) {
    bindText(1, entry.device);
    bindText(2, entry.file.path);
    sqlite3_bind_int64(insert, 3, entry.file.size);
    if (entry.file.mtime) {
      sqlite3_bind_int64(insert, 4, *entry.file.mtime);
    } else {
      sqlite3_bind_null(insert, 4);
    }
    bindText(5, entry.savedAs);
    const int result = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (result != SQLITE_DONE) {
      const auto failed = outcome();
      execute("ROLLBACK");
      return failed;
    }
  }
  if (!execute("COMMIT")) {
    const auto failed = outcome();
    execute("ROLLBACK");
    return failed;
  }
  return WriteOutcome::written;
}

RecordFailure RecordDatabase::failure(const std::string& what) const {
  return {"The import record " + file_ + " " + what + ": " + sqlite3_errmsg(db_.get())};
}

RecordDatabase::Statement RecordDatabase::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr);
  return Statement(statement);
}

bool RecordDatabase::execute(const char* sql) {
  return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace picferry
