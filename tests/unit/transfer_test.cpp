// The transfer: what it copies ahead, when a file counts and what a failure
// at each disk operation leaves, on a fake folder that can crash; byte
// progress on the real main queue.

#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <thread>

#include "platform/real_platform.h"
#include "support/fake_camera.h"
#include "support/fake_destination.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;
using testing::FakeFile;
using testing::FakeDestination;

std::string bytesOf(const CameraFile& file) {
  return std::string(static_cast<std::size_t>(file.fileSize()), (*file.name())[0]);
}

// A device whose copy of a file is its size in bytes of its name's first
// letter. A file named in `failing` fails; one in `held` waits for
// `released` (or its abandonment); one in `slow` arrives in ten parts, 60 ms
// apart.
class TestSource final : public TransferSource {
 public:
  void runOnDevice(std::function<void()> run, std::function<void()> abandon) override {
    worker_->submit(std::move(run), std::move(abandon));
  }
  std::optional<DeviceError> copy(const CameraFile& file, DurableFile& out,
                                  const std::atomic<bool>& abandoned) override {
    const std::string name = *file.name();
    {
      std::lock_guard lock(mutex);
      copied.push_back(name);
    }
    while (held.count(name) && !released.load()) {
      if (abandoned.load()) return DeviceError{"stopped"};
      std::this_thread::sleep_for(1ms);
    }
    if (failing.count(name)) return DeviceError{"The device refused " + name};
    const std::string bytes = bytesOf(file);
    const std::size_t parts = slow.count(name) ? 10 : 1;
    for (std::size_t i = 0, at = 0; i < parts; ++i) {
      if (i > 0) std::this_thread::sleep_for(60ms);
      const std::size_t end = bytes.size() * (i + 1) / parts;
      if (auto failed = out.append(bytes.data() + at, end - at)) return failed;
      at = end;
    }
    return std::nullopt;
  }
  // Stops the device's worker (what was not started is abandoned), and
  // starts another.
  void restart() {
    worker_.reset();
    worker_ = std::make_unique<WorkerThread>();
  }
  std::vector<std::string> copiedSoFar() {
    std::lock_guard lock(mutex);
    return copied;
  }

  std::set<std::string> held, failing, slow;
  std::atomic<bool> released{false};
  std::mutex mutex;
  std::vector<std::string> copied;  // guarded by mutex, in the order copies began

 private:
  std::unique_ptr<WorkerThread> worker_ = std::make_unique<WorkerThread>();
};

class Outcomes final : public CameraDeviceDownloadDelegate {
 public:
  using Clock = std::chrono::steady_clock;
  struct Result {
    std::string name, error, savedAs;
    FailureCode code;
  };
  struct Progress {
    std::string name;
    std::int64_t bytes;
    Clock::time_point at;
  };
  void didDownloadFile(const std::shared_ptr<CameraFile>& file,
                       const std::optional<DeviceError>& error, const DownloadOptions& options,
                       void*) override {
    results.push_back({*file->name(), error ? error->description : "", options.savedFilename,
                       error ? error->code : FailureCode::deviceReadFailed});
    answeredAt[*file->name()] = Clock::now();
    if (next) next();
  }
  void didReceiveDownloadProgressForFile(const std::shared_ptr<CameraFile>& file,
                                         std::int64_t bytes) override {
    EXPECT_FALSE(answeredAt.count(*file->name())) << "progress after the answer";
    progress.push_back({*file->name(), bytes, Clock::now()});
  }
  std::vector<Result> results;
  std::map<std::string, Clock::time_point> requestedAt, answeredAt;
  std::vector<Progress> progress;
  std::function<void()> next;
};

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"A.JPG", "B.JPG", "C.MOV", "D.JPG", "E.JPG", "F.JPG", "G.JPG"}) {
      files_.push_back(std::make_shared<FakeFile>(name, 3000 + static_cast<int>(files_.size()),
                                                  1'600'000'000));
    }
  }
  void TearDown() override {
    if (folder_) folder_->holdFileSystemFlushes(false);
    if (transfer_) transfer_->abandonAll();
    source_.restart();
    transfer_.reset();
  }

  void start(bool groups) {
    folder_ = std::make_shared<FakeDestination>(groups);
    transfer_ = std::make_shared<Transfer>(
        platform_.mainQueue(), source_,
        [this](const std::string&, int*) -> std::shared_ptr<DestinationFolder> { return folder_; });
  }
  // Plans the files at `positions`; those in `unsettled` may not be named
  // before their request.
  void plan(const std::vector<std::size_t>& positions, std::set<std::size_t> unsettled = {}) {
    std::vector<PlannedDownload> planned;
    for (auto i : positions) planned.push_back({files_[i], *files_[i]->name(), !unsettled.count(i)});
    transfer_->plan(folder_->path(), std::move(planned));
  }
  // Requests the files at `positions` one after the other, as the controller
  // does: the next once the one before is answered.
  void requestInTurn(std::vector<std::size_t> positions) {
    auto left = std::make_shared<std::vector<std::size_t>>(positions.rbegin(), positions.rend());
    outcomes_.next = [this, left] {
      if (left->empty()) return;
      const auto& file = files_[left->back()];
      left->pop_back();
      outcomes_.requestedAt[*file->name()] = Outcomes::Clock::now();
      transfer_->request({file, {folder_->path(), *file->name(), false, progress_}, &outcomes_});
    };
    outcomes_.next();
  }
  bool answered(std::size_t count) {
    return platform_.runUntil([&] { return outcomes_.results.size() >= count; }, 10s);
  }

  RealPlatform platform_;
  TestSource source_;
  Outcomes outcomes_;
  bool progress_ = false;
  std::vector<std::shared_ptr<CameraFile>> files_;
  std::shared_ptr<FakeDestination> folder_;
  std::shared_ptr<Transfer> transfer_;
};

TEST_F(TransferTest, CopiesAheadExactlyThePlannedFilesEachOnce) {
  for (bool groups : {true, false}) {
    SCOPED_TRACE(groups ? "groups" : "file by file");
    TearDown();
    source_.copied.clear();
    outcomes_ = {};
    start(groups);
    plan({1, 3, 4, 6});
    requestInTurn({1, 3, 4, 6});
    ASSERT_TRUE(answered(4));
    std::map<std::string, std::string> expected;
    for (auto i : {1, 3, 4, 6}) expected[*files_[i]->name()] = bytesOf(*files_[i]);
    for (const auto& result : outcomes_.results) EXPECT_EQ(result.error, "") << result.name;
    EXPECT_EQ(folder_->names(), expected);
    EXPECT_EQ(source_.copiedSoFar(),
              (std::vector<std::string>{"B.JPG", "D.JPG", "E.JPG", "G.JPG"}));
  }
}

TEST_F(TransferTest, PassedOverCopiesLeaveNothingAndUnplannedRequestsKeepThePlan) {
  start(true);
  source_.held = {"B.JPG"};
  plan({0, 1, 2, 3, 4}, {1, 2});
  requestInTurn({0});
  ASSERT_TRUE(answered(1));
  // The controller leaves B and C out at their turn, asks for a file outside
  // the plan, then for the rest of it.
  requestInTurn({3, 6, 4});
  ASSERT_TRUE(answered(4));
  for (const auto& result : outcomes_.results) EXPECT_EQ(result.error, "") << result.name;
  EXPECT_EQ(outcomes_.results[2].name, "G.JPG");
  const auto names = folder_->names();
  EXPECT_EQ(std::set<std::string>({"A.JPG", "D.JPG", "E.JPG", "G.JPG"}),
            [&] {
              std::set<std::string> keys;
              for (const auto& [name, bytes] : names) keys.insert(name);
              return keys;
            }());
  const auto copied = source_.copiedSoFar();
  EXPECT_EQ(std::count(copied.begin(), copied.end(), "E.JPG"), 1) << "E was not copied again";
}

TEST_F(TransferTest, ClosingAnswersTheRequestAndLeavesOnlyCountedFiles) {
  start(false);
  source_.held = {"C.MOV"};
  plan({0, 1, 2, 3, 4});
  requestInTurn({0, 1, 2});
  ASSERT_TRUE(answered(2));
  transfer_->abandonAll();
  source_.restart();
  transfer_.reset();
  ASSERT_TRUE(answered(3));
  EXPECT_EQ(outcomes_.results[2].name, "C.MOV");
  EXPECT_NE(outcomes_.results[2].error, "") << "closed before it was copied";
  platform_.runUntil([] { return false; }, 100ms);
  EXPECT_EQ(outcomes_.results.size(), 3u) << "exactly one answer per request";
  EXPECT_EQ(folder_->names().size(), 2u);
}

// Every disk operation a copy makes, failing once, file by file and in
// groups: each file counted survives a crash whole under the name given;
// each failure is told; no name is ever given to a file whose bytes are not
// all flushed; a failure of one file leaves the others to go on.
TEST_F(TransferTest, EachFailingDiskOperationLosesNoCountedFile) {
  const std::vector<std::pair<std::string, std::vector<bool>>> operations = {
      {"create", {true, false}},   {"append", {true, false}},
      {"size", {true, false}},     {"setTime", {true, false}},
      {"flushData", {false}},      {"link", {true, false}},
      {"flush", {false}},          {"flushFolder", {false}},
      {"flushFileSystem", {true}},
  };
  for (const auto& [operation, modes] : operations) {
    for (bool groups : modes) {
      for (int nth : {1, 2}) {
        SCOPED_TRACE(operation + " #" + std::to_string(nth) + (groups ? " in groups" : ""));
        TearDown();
        outcomes_ = {};
        start(groups);
        folder_->take("C.MOV");
        folder_->failCall(operation, nth, operation == "append" ? ENOSPC : EIO);
        plan({0, 1, 2, 3});
        requestInTurn({0, 1, 2, 3});
        ASSERT_TRUE(answered(4));
        const auto survivors = folder_->afterCrash();
        int failures = 0;
        for (const auto& result : outcomes_.results) {
          if (!result.error.empty()) {
            ++failures;
            continue;
          }
          const auto& file = **std::find_if(files_.begin(), files_.end(), [&](const auto& f) {
            return *f->name() == result.name;
          });
          ASSERT_TRUE(survivors.count(result.savedAs)) << result.name << " counted, then lost";
          EXPECT_EQ(survivors.at(result.savedAs), bytesOf(file)) << result.name;
        }
        EXPECT_GE(failures, 1) << "the failure was told";
        EXPECT_LE(failures, groups ? 4 : 1);
        EXPECT_TRUE(folder_->namedUnflushed().empty());
        EXPECT_EQ(outcomes_.results.size(), 4u);
      }
    }
  }
}

// Where the folder tells its room: a file that cannot fit, copied ahead or
// requested, fails with its kind before the device is asked for a byte of it.
TEST_F(TransferTest, AFileThatCannotFitFailsBeforeTheDeviceIsAsked) {
  struct Row {
    FileSystemRoom room;
    FailureCode code;
  };
  for (const Row& row : std::vector<Row>{{{3002, std::nullopt}, FailureCode::destinationFull},
                                         {{std::nullopt, 3002}, FailureCode::tooBigForDestination}}) {
    SCOPED_TRACE(failureCodeName(row.code));
    TearDown();
    source_.copied.clear();
    outcomes_ = {};
    start(true);
    folder_->setRoom(row.room);
    plan({0, 3, 1});
    requestInTurn({0, 3, 1});
    ASSERT_TRUE(answered(3));
    ASSERT_EQ(outcomes_.results[1].name, "D.JPG");  // 3003 bytes
    EXPECT_EQ(outcomes_.results[1].code, row.code);
    EXPECT_EQ(outcomes_.results[0].error, "");
    EXPECT_EQ(outcomes_.results[2].error, "");
    EXPECT_EQ(source_.copiedSoFar(), (std::vector<std::string>{"A.JPG", "B.JPG"}));
    EXPECT_EQ(folder_->count("create"), 2);
  }
}

// File by file: the data flushed before naming, then the folder, then the
// file itself (a dying XFS answers a folder flush with success). In groups:
// the copies ready together cost two flushes of the file system.
TEST_F(TransferTest, FlushOrderFileByFileAndGroupsOfReadyCopies) {
  start(false);
  plan({0});
  requestInTurn({0});
  ASSERT_TRUE(answered(1));
  EXPECT_EQ(folder_->calls(),
            (std::vector<std::string>{"create", "append", "size", "setTime", "flushData",
                                      "link A.JPG", "flushFolder", "flush"}));
  TearDown();
  outcomes_ = {};
  start(true);
  // The disk is busy with A's data while B..G are copied: they are flushed,
  // named and flushed again together.
  folder_->holdFileSystemFlushes(true);
  plan({0, 1, 2, 3, 4, 5, 6});
  requestInTurn({0});
  for (int waited = 0; folder_->count("setTime") < 7 && waited < 10000; ++waited) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(100ms);
  folder_->holdFileSystemFlushes(false);
  ASSERT_TRUE(answered(1));
  requestInTurn({1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(answered(7));
  EXPECT_EQ(folder_->names().size(), 7u);
  // Two for A, two for B..G (or two in all, when the disk is slower still to
  // start on A's data).
  EXPECT_LE(folder_->count("flushFileSystem"), 4) << ::testing::PrintToString(folder_->calls());
  EXPECT_EQ(folder_->count("flushData") + folder_->count("flush") + folder_->count("flushFolder"),
            0);
  // While a large copy is being written, the file before it is flushed on
  // its own: its count does not wait for the large copy's bytes.
  TearDown();
  outcomes_ = {};
  start(true);
  files_.push_back(std::make_shared<FakeFile>("H.MOV", Transfer::kGroupedCopyBytes + 1));
  source_.held = {"H.MOV"};
  plan({0, 7});
  requestInTurn({0});
  ASSERT_TRUE(answered(1));
  EXPECT_EQ(outcomes_.results[0].error, "");
  EXPECT_EQ(folder_->count("flushFileSystem"), 0);
  EXPECT_EQ(folder_->count("flushFolder"), 1);
}

TEST_F(TransferTest, ProgressAskedForComesAnIntervalApartAsTheRequestedCopyGrows) {
  start(true);
  source_.slow = {"B.JPG", "C.MOV"};
  progress_ = true;
  plan({0, 1, 2, 3});
  requestInTurn({0, 1, 2, 3});
  ASSERT_TRUE(answered(4));
  const auto interval = Transfer::kProgressInterval;
  std::map<std::string, std::vector<Outcomes::Progress>> byName;
  for (const auto& report : outcomes_.progress) byName[report.name].push_back(report);
  // B and C take about 540 ms each; C is copied ahead while B is copied.
  for (const char* name : {"B.JPG", "C.MOV"}) {
    const auto& reports = byName[name];
    ASSERT_FALSE(reports.empty()) << name;
    auto earliest = outcomes_.requestedAt[name] + interval;
    std::int64_t bytes = 0;
    for (const auto& report : reports) {
      EXPECT_GE(report.at, earliest) << name;
      EXPECT_GE(report.bytes, bytes) << name;
      earliest = report.at + interval;
      bytes = report.bytes;
    }
  }
  EXPECT_LE(byName["B.JPG"].back().bytes, files_[1]->fileSize());
  EXPECT_LE(byName["C.MOV"].back().bytes, files_[2]->fileSize());
}

TEST_F(TransferTest, NoProgressUnlessAskedFor) {
  start(true);
  source_.slow = {"A.JPG", "B.JPG"};
  plan({0, 1});
  requestInTurn({0, 1});
  ASSERT_TRUE(answered(2));
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_TRUE(outcomes_.progress.empty());
}

}  // namespace
}  // namespace picferry
