// The download pipeline every backend shares: a device that reads the next
// files ahead while the one before is flushed and named, on the real main
// queue and a real folder.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "camera/queued_camera_device.h"
#include "platform/real_platform.h"
#include "support/fake_camera.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;
using testing::FakeFile;
namespace fs = std::filesystem;

// Serves `files` as its catalogue; copying one writes its size in bytes of
// its name's first letter. A file named in `held` is copied only once the
// test releases it (or the copy is abandoned); one named in `failing` fails;
// one named in `slow` arrives in ten parts, 60 ms apart.
class PipelinedDevice final : public ThreadedCameraDevice<FakeFile> {
 public:
  PipelinedDevice(MainQueue& mainQueue, std::vector<std::shared_ptr<CameraFile>> files)
      : ThreadedCameraDevice(mainQueue, "PIPELINED-1", DeviceRoute::usb, "Pipelined"),
        files_(std::move(files)) {}
  ~PipelinedDevice() override { stopWorker(); }

  std::set<std::string> held, failing, slow;
  std::atomic<bool> released{false};
  std::atomic<int> abandonedCopies{0};
  std::mutex mutex;
  std::vector<std::string> copied;  // guarded by mutex, in the order copies began

 private:
  void openSession() override {
    postOpened(std::nullopt);
    listCatalogue({"/DCIM"}, [this](const std::string&, FolderContents* out) {
      out->files = files_;
      return std::optional<DeviceError>();
    });
  }
  ThumbnailSource thumbnailSourceOf(const FakeFile&) override { return {}; }
  std::optional<DeviceError> copyInto(const FakeFile& file, DurableFile& out,
                                      const std::atomic<bool>& abandoned) override {
    const std::string name = *file.name();
    {
      std::lock_guard lock(mutex);
      copied.push_back(name);
    }
    while (held.count(name) && !released.load()) {
      if (abandoned.load()) {
        ++abandonedCopies;
        return DeviceError{"stopped"};
      }
      std::this_thread::sleep_for(1ms);
    }
    if (failing.count(name)) return DeviceError{"The device refused " + name};
    const std::string bytes(static_cast<std::size_t>(file.fileSize()), name[0]);
    const std::size_t parts = slow.count(name) ? 10 : 1;
    for (std::size_t i = 0, at = 0; i < parts; ++i) {
      if (i > 0) std::this_thread::sleep_for(60ms);
      const std::size_t end = bytes.size() * (i + 1) / parts;
      if (auto failed = out.append(bytes.data() + at, end - at)) return failed;
      at = end;
    }
    return out.finishWriting(file.fileSize(), file.modificationDate());
  }

  const std::vector<std::shared_ptr<CameraFile>> files_;
};

class Outcomes final : public DeviceDelegate,
                       public CameraDeviceDelegate,
                       public CameraDeviceDownloadDelegate {
 public:
  void deviceDidOpenSessionWithError(Device&, const std::optional<DeviceError>&) override {}
  void deviceDidCloseSessionWithError(Device&, const std::optional<DeviceError>&) override {}
  void didRemoveDevice(Device&) override {}
  void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice&) override { ready = true; }
  void cameraDeviceDidAddItems(CameraDevice&,
                               const std::vector<std::shared_ptr<CameraItem>>&) override {}
  void cameraDeviceDidRemoveItems(CameraDevice&,
                                  const std::vector<std::shared_ptr<CameraItem>>&) override {}
  void cameraDeviceDidFailCatalogWithError(CameraDevice&, const DeviceError&) override {}
  void didDownloadFile(const std::shared_ptr<CameraFile>& file,
                       const std::optional<DeviceError>& error, const DownloadOptions& options,
                       void*) override {
    results.emplace_back(*file->name(), error ? error->description : "");
    answeredAt[*file->name()] = Clock::now();
    savedAs.push_back(options.savedFilename);
    if (next) next();
  }
  void didReceiveDownloadProgressForFile(const std::shared_ptr<CameraFile>& file,
                                         std::int64_t bytes) override {
    EXPECT_FALSE(answeredAt.count(*file->name())) << "progress after the answer";
    progress.push_back({*file->name(), bytes, Clock::now()});
  }

  using Clock = std::chrono::steady_clock;
  struct Progress {
    std::string name;
    std::int64_t bytes;
    Clock::time_point at;
  };

  bool ready = false;
  std::vector<std::pair<std::string, std::string>> results;  // name, error ("" for none)
  std::map<std::string, Clock::time_point> requestedAt, answeredAt;
  std::vector<Progress> progress;
  std::vector<std::string> savedAs;  // the name each was saved under ("" for none)
  std::function<void()> next;
};

// The real main queue, counting the delayed work posted to it.
class CountingQueue final : public MainQueue {
 public:
  explicit CountingQueue(MainQueue& queue) : queue_(queue) {}
  void post(std::function<void()> work) override { queue_.post(std::move(work)); }
  std::shared_ptr<TaskHandle> postAfter(double seconds, std::function<void()> work) override {
    ++delayed;
    return queue_.postAfter(seconds, std::move(work));
  }
  std::atomic<int> delayed{0};

 private:
  MainQueue& queue_;
};

class DownloadPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"A.JPG", "B.JPG", "C.MOV", "D.JPG", "E.JPG", "F.JPG", "G.JPG"}) {
      files_.push_back(std::make_shared<FakeFile>(name, 3000 + static_cast<int>(files_.size()),
                                                  1'600'000'000));
    }
    device_ = std::make_shared<PipelinedDevice>(mainQueue_, files_);
    device_->setDelegate(&outcomes_);
    device_->setCameraDelegate(&outcomes_);
    device_->requestOpenSession();
    // Readiness comes first, the files after it.
    ASSERT_TRUE(platform_.runUntil(
        [&] { return outcomes_.ready && device_->mediaFiles()->size() == files_.size(); }, 5s));
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
      device_->requestDownloadFile(file, {dest_.path.string(), *file->name(), false, progress_},
                                   &outcomes_, nullptr);
    };
    outcomes_.next();
  }

  // Every entry of the destination, hidden ones included.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dest_.path)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  bool holdsCopyOf(std::size_t position) const {
    const auto& file = *files_[position];
    std::ifstream in(dest_ / *file.name(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    return bytes == std::string(static_cast<std::size_t>(file.fileSize()), (*file.name())[0]);
  }

  RealPlatform platform_;
  CountingQueue mainQueue_{platform_.mainQueue()};
  bool progress_ = false;  // whether requests ask for progress
  Outcomes outcomes_;
  testing::TempDir dest_;
  std::vector<std::shared_ptr<CameraFile>> files_;
  std::shared_ptr<PipelinedDevice> device_;
};

TEST_F(DownloadPipelineTest, FilesReadAheadAreTheCopiesRequestedAndEachIsCopiedOnce) {
  requestInTurn({0, 1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 7; }, 10s));
  for (std::size_t i = 0; i < files_.size(); ++i) {
    EXPECT_EQ(outcomes_.results[i], std::make_pair(*files_[i]->name(), std::string()));
    EXPECT_TRUE(holdsCopyOf(i)) << *files_[i]->name();
  }
  std::lock_guard lock(device_->mutex);
  EXPECT_EQ(device_->copied, (std::vector<std::string>{"A.JPG", "B.JPG", "C.MOV", "D.JPG", "E.JPG",
                                                       "F.JPG", "G.JPG"}));
}

TEST_F(DownloadPipelineTest, AReadAheadThatIsNotRequestedLeavesNothing) {
  // B is read ahead while A is named, then skipped by the controller, which
  // wants D next: B and C are dropped, D is copied, nothing else stays.
  device_->held = {"B.JPG"};
  requestInTurn({0});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 1; }, 10s));
  ASSERT_TRUE(platform_.runUntil([&] {
    std::lock_guard lock(device_->mutex);
    return device_->copied.size() == 2;
  }, 10s)) << "B is read ahead";
  requestInTurn({3});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 2; }, 10s));
  EXPECT_EQ(outcomes_.results[1], std::make_pair(std::string("D.JPG"), std::string()));
  EXPECT_EQ(device_->abandonedCopies.load(), 1) << "the copy under way stops at once";
  EXPECT_EQ(entries(), (std::set<std::string>{"A.JPG", "D.JPG"}));
  EXPECT_TRUE(holdsCopyOf(3));
}

TEST_F(DownloadPipelineTest, ClosingTheDeviceAnswersTheRequestAndLeavesOnlyNamedFiles) {
  device_->held = {"C.MOV"};
  requestInTurn({0, 1, 2});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 2; }, 10s));
  platform_.runUntil([] { return false; }, 100ms);  // C is held, D..G read ahead behind it
  device_.reset();
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 3; }, 10s));
  EXPECT_EQ(outcomes_.results[2].first, "C.MOV");
  EXPECT_NE(outcomes_.results[2].second, "") << "closed before it was copied";
  platform_.runUntil([] { return false; }, 100ms);
  EXPECT_EQ(outcomes_.results.size(), 3u) << "exactly one answer per request";
  EXPECT_EQ(entries(), (std::set<std::string>{"A.JPG", "B.JPG"}));
}

TEST_F(DownloadPipelineTest, TakenNamesAreNotReadAheadAndAFailedReadAheadIsTheAnswer) {
  std::ofstream(dest_ / "B.JPG") << "another photo";
  device_->failing = {"C.MOV"};
  requestInTurn({0, 1, 2, 3});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 4; }, 10s));
  EXPECT_EQ(outcomes_.results[1], std::make_pair(std::string("B.JPG"), std::string()));
  EXPECT_EQ(outcomes_.results[2], std::make_pair(std::string("C.MOV"),
                                                 std::string("The device refused C.MOV")));
  EXPECT_EQ(entries(), (std::set<std::string>{"A.JPG", "B.JPG", "B (1).JPG", "D.JPG"}));
  EXPECT_EQ(outcomes_.savedAs, (std::vector<std::string>{"A.JPG", "B (1).JPG", "", "D.JPG"}));
  std::lock_guard lock(device_->mutex);
  ASSERT_GE(device_->copied.size(), 4u);
  // B's name was taken, so C was read ahead in its place; B was copied when asked for.
  EXPECT_EQ(std::vector<std::string>(device_->copied.begin(), device_->copied.begin() + 3),
            (std::vector<std::string>{"A.JPG", "C.MOV", "D.JPG"}));
  EXPECT_EQ(std::count(device_->copied.begin(), device_->copied.end(), "C.MOV"), 1)
      << "a failed copy read ahead is not copied again";
}

TEST_F(DownloadPipelineTest, ProgressAskedForComesAnIntervalApartAsTheRequestedCopyGrows) {
  device_->slow = {"B.JPG", "C.MOV"};
  progress_ = true;
  requestInTurn({0, 1, 2, 3});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 4; }, 10s));
  const auto interval = QueuedCameraDevice::kProgressInterval;
  std::map<std::string, std::vector<Outcomes::Progress>> byName;
  for (const auto& report : outcomes_.progress) byName[report.name].push_back(report);
  // B and C take about 540 ms each; C is read ahead while B is copied.
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
  EXPECT_TRUE(holdsCopyOf(1));
  EXPECT_TRUE(holdsCopyOf(2));
}

TEST_F(DownloadPipelineTest, ProgressOfShortFilesReachesTheMainQueueAboutFourTimesASecond) {
  progress_ = true;
  mainQueue_.delayed = 0;
  const auto start = Outcomes::Clock::now();
  requestInTurn({0, 1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 7; }, 10s));
  platform_.runUntil([] { return false; }, 300ms);  // the last sample finds nothing to tell
  const auto intervals = (Outcomes::Clock::now() - start) / QueuedCameraDevice::kProgressInterval;
  EXPECT_LE(mainQueue_.delayed.load(), intervals + 2);
}

TEST_F(DownloadPipelineTest, NoProgressUnlessAskedFor) {
  device_->slow = {"A.JPG", "B.JPG"};
  requestInTurn({0, 1});
  ASSERT_TRUE(platform_.runUntil([&] { return outcomes_.results.size() == 2; }, 10s));
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_TRUE(outcomes_.progress.empty());
}

}  // namespace
}  // namespace picferry
