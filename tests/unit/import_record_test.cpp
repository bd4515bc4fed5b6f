// The SQLite import record against real files in a temporary folder.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "record/record_location.h"
#include "record/sqlite_import_record.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

constexpr std::int64_t T0 = 1'600'000'000;

RecordEntry entry(std::string path, std::int64_t size = 100, std::optional<std::int64_t> mtime = T0,
                  std::string device = "DEVICE-1") {
  return {std::move(device), {std::move(path), size, mtime}, "/photos/" + std::to_string(size)};
}

class ImportRecordTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  const std::string file = dir / "state/picferry/imported.sqlite";

  static RecordedFiles filesOf(ImportRecord& record, const std::string& device) {
    auto read = record.filesOf(device);
    if (const auto* failed = std::get_if<RecordFailure>(&read)) {
      ADD_FAILURE() << failed->description;
      return {};
    }
    return std::get<RecordedFiles>(read);
  }
  static std::string failureOf(ImportRecord& record) {
    auto read = record.filesOf("DEVICE-1");
    const auto* failed = std::get_if<RecordFailure>(&read);
    return failed ? failed->description : "(read)";
  }
  static std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Writes `count` entries through a record of their own, as an earlier run.
  void recordEarlierRun(int count) {
    SqliteImportRecord earlier(file);
    for (int i = 0; i < count; ++i) earlier.add(entry("/DCIM/IMG_" + std::to_string(i) + ".JPG"));
    earlier.flush(30);
  }
  // Adds an entry to the file as it is; the file must stay byte for byte.
  void expectLeftAlone(const std::string& why) {
    const std::string before = bytesOf(file);
    SqliteImportRecord record(file);
    EXPECT_NE(failureOf(record).find(file), std::string::npos) << why;
    record.add(entry("/DCIM/NEW.JPG"));
    record.flush(30);
    EXPECT_TRUE(bytesOf(file) == before) << why << ": the file changed";
  }
};

TEST_F(ImportRecordTest, HoldsEachDevicesFilesByPathSizeAndDate) {
  SqliteImportRecord record(file);
  EXPECT_TRUE(filesOf(record, "DEVICE-1").empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "state")) << "reading created something";
  record.add(entry("/DCIM/100APPLE/IMG_0001.HEIC", 100, T0));
  record.add(entry("/DCIM/100APPLE/IMG_0002.MOV", 200, std::nullopt));
  record.add(entry("/DCIM/100APPLE/IMG_0003.JPG", 300, T0, "DEVICE-2"));
  record.flush(30);

  // Read as the next run would, while this one still holds the file.
  SqliteImportRecord next(file);
  const RecordedFiles files = filesOf(next, "DEVICE-1");
  EXPECT_EQ(files, (RecordedFiles{{"/DCIM/100APPLE/IMG_0001.HEIC", 100, T0},
                                  {"/DCIM/100APPLE/IMG_0002.MOV", 200, std::nullopt}}));
  for (const RecordedFileKey& other : std::vector<RecordedFileKey>{
           {"/DCIM/100APPLE/IMG_0001.HEIC", 101, T0},            // other size
           {"/DCIM/100APPLE/IMG_0001.HEIC", 100, T0 + 1},        // other date
           {"/DCIM/100APPLE/IMG_0001.HEIC", 100, std::nullopt},  // no date
           {"/DCIM/100APPLE/IMG_0002.MOV", 200, 0},
           {"/DCIM/100APPLE/IMG_0003.JPG", 300, T0}}) {  // another device's
    EXPECT_EQ(files.count(other), 0u) << other.path << " " << other.size;
  }
}

TEST_F(ImportRecordTest, KeepsWhereEachFileWentAndWhenOneRowPerFile) {
  const std::int64_t before = std::time(nullptr);
  {
    SqliteImportRecord record(file);
    RecordEntry first = entry("/DCIM/A.JPG", 5);
    first.savedAs = "/photos/A.JPG";
    RecordEntry again = first;  // imported again
    again.savedAs = "/photos/A (1).JPG";
    record.add(first);
    record.add(again);
    record.flush(30);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* rows = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT device, path, size, mtime, saved_as, recorded_at"
                               " FROM imported",
                               -1, &rows, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
  const auto text = [rows](int column) {
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(rows, column)));
  };
  EXPECT_EQ(text(0), "DEVICE-1");
  EXPECT_EQ(text(1), "/DCIM/A.JPG");
  EXPECT_EQ(sqlite3_column_int64(rows, 2), 5);
  EXPECT_EQ(sqlite3_column_int64(rows, 3), T0);
  EXPECT_EQ(text(4), "/photos/A (1).JPG");
  EXPECT_GE(sqlite3_column_int64(rows, 5), before);
  EXPECT_LE(sqlite3_column_int64(rows, 5), std::time(nullptr));
  EXPECT_EQ(sqlite3_step(rows), SQLITE_DONE);
  sqlite3_finalize(rows);
  sqlite3_close(db);
}

TEST_F(ImportRecordTest, NamesAreDataWhateverTheyHold) {
  const std::vector<std::string> paths = {
      "/DCIM/it's \"quoted\".JPG", "/DCIM/a;b;DROP TABLE imported;--.JPG",
      "/DCIM/100%_%s%n.JPG",       "/DCIM/two\nlines.JPG",
      "/DCIM/Zoë 日本.HEIC",       std::string("/DCIM/nul\0inside.JPG", 20)};
  SqliteImportRecord record(file);
  for (const auto& path : paths) record.add(entry(path));
  record.flush(30);
  RecordedFiles expected;
  for (const auto& path : paths) expected.insert({path, 100, T0});
  EXPECT_EQ(filesOf(record, "DEVICE-1"), expected);
  EXPECT_EQ(filesOf(record, "DEVICE-1' OR '1'='1").size(), 0u);
}

TEST_F(ImportRecordTest, FolderIsPrivateAndFilesAreTheOwnersAlone) {
  const mode_t previous = ::umask(0);  // the modes must not come from the umask
  recordEarlierRun(1);
  ::umask(previous);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "state/picferry").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((dir / "state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  for (const auto& entry : std::filesystem::directory_iterator(dir / "state/picferry")) {
    ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << entry.path();
  }
}

TEST_F(ImportRecordTest, DamagedOrForeignRecordIsNeitherReadNorChanged) {
  std::filesystem::create_directories(dir / "state/picferry");
  std::ofstream(file, std::ios::binary) << std::string(5000, '\x5a') << "not a database";
  expectLeftAlone("garbage");

  std::filesystem::remove(file);
  recordEarlierRun(2000);
  std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
  expectLeftAlone("truncated");

  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes (text)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  expectLeftAlone("another program's database");
}

TEST_F(ImportRecordTest, FolderInItsPlaceCannotBeRead) {
  std::filesystem::create_directories(file);
  SqliteImportRecord record(file);
  EXPECT_NE(failureOf(record).find("not a file"), std::string::npos);
}

TEST_F(ImportRecordTest, UnwritableStateFolderLosesEntriesQuietly) {
  std::ofstream(dir / "state") << "a file where the folder would go";
  SqliteImportRecord record(file);
  record.add(entry("/DCIM/A.JPG"));
  record.flush(30);
  record.add(entry("/DCIM/B.JPG"));  // recording has ended: dropped at once
  record.flush(30);
  EXPECT_TRUE(filesOf(record, "DEVICE-1").empty());  // no record: nothing imported
  EXPECT_FALSE(std::filesystem::is_directory(dir / "state"));
}

TEST_F(ImportRecordTest, NoHomeFolderMeansNoRecord) {
  SqliteImportRecord record(std::nullopt);
  record.add(entry("/DCIM/A.JPG"));
  record.flush(30);
  EXPECT_NE(failureOf(record).find("no home folder"), std::string::npos);
}

// Two processes recording into a new record at once, each its own files, a
// transaction every few files: every entry of both is there.
TEST_F(ImportRecordTest, TwoProcessesRecordingAtOnceLoseNothing) {
  constexpr int kEach = 400;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (const std::string device : {"PHONE", "CARD"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      char go;
      ::close(start[1]);
      if (::read(start[0], &go, 1) != 0) ::_exit(2);  // both begin when the pipe closes
      SqliteImportRecord record(file);
      for (int i = 0; i < kEach; ++i) {
        record.add(entry("/DCIM/IMG_" + std::to_string(i) + ".JPG", i, T0, device));
        if (i % 3 == 0) record.flush(30);
      }
      record.flush(30);
      ::_exit(0);
    }
    children.push_back(child);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  SqliteImportRecord record(file);
  EXPECT_EQ(filesOf(record, "PHONE").size(), static_cast<std::size_t>(kEach));
  EXPECT_EQ(filesOf(record, "CARD").size(), static_cast<std::size_t>(kEach));
}

TEST(ImportRecordLocationTest, StateHomeElseHomeAbsolutePathsOnly) {
  struct Row {
    const char* stateHome;
    const char* home;
    std::optional<std::string> expected;
  };
  for (const Row& row :
       std::vector<Row>{{"/var/state", "/home/zoe", "/var/state/picferry/imported.sqlite"},
                        {"/var/state/", "/home/zoe", "/var/state/picferry/imported.sqlite"},
                        {nullptr, "/home/zoe", "/home/zoe/.local/state/picferry/imported.sqlite"},
                        {"", "/home/zoe", "/home/zoe/.local/state/picferry/imported.sqlite"},
                        {"state", "/home/zoe", "/home/zoe/.local/state/picferry/imported.sqlite"},
                        {nullptr, "/", "/.local/state/picferry/imported.sqlite"},
                        {nullptr, "zoe", std::nullopt},
                        {nullptr, nullptr, std::nullopt}}) {
    EXPECT_EQ(importRecordPath(row.stateHome, row.home), row.expected)
        << (row.stateHome ? row.stateHome : "(unset)") << " " << (row.home ? row.home : "(unset)");
  }
}

}  // namespace
}  // namespace picferry
