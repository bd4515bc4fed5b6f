// The catalogue walk every backend shares, on a device whose folders a test
// scripts, with the real main queue.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "camera/queued_camera_device.h"
#include "platform/real_platform.h"
#include "support/fake_camera.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;
using testing::FakeFile;

class ScriptedDevice final : public ThreadedCameraDevice<FakeFile> {
 public:
  ScriptedDevice(MainQueue& mainQueue, ListFolder list,
                 std::optional<std::chrono::milliseconds> stallLimit)
      : ThreadedCameraDevice(mainQueue, "SCRIPTED-1", DeviceRoute::usb, "Scripted"),
        list_(std::move(list)),
        stallLimit_(stallLimit) {}
  ~ScriptedDevice() override { stopWorker(); }

 private:
  void openSession() override {
    postOpened(std::nullopt);
    listCatalogue({"/DCIM"}, list_, stallLimit_);
  }
  std::optional<DeviceError> copyInto(const FakeFile&, DurableFile&,
                                      const std::atomic<bool>&) override {
    return std::nullopt;
  }
  ThumbnailSource thumbnailSourceOf(const FakeFile&) override { return {}; }

  const ListFolder list_;
  const std::optional<std::chrono::milliseconds> stallLimit_;
};

class CatalogueRecorder final : public DeviceDelegate, public CameraDeviceDelegate {
 public:
  void deviceDidOpenSessionWithError(Device&, const std::optional<DeviceError>&) override {}
  void deviceDidCloseSessionWithError(Device&, const std::optional<DeviceError>&) override {}
  void didRemoveDevice(Device&) override {}
  void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice&) override { ++ready; }
  void cameraDeviceDidAddItems(CameraDevice&,
                               const std::vector<std::shared_ptr<CameraItem>>& items) override {
    ++additions;
    if (!failures.empty()) additionAfterFailure = true;
    added += items.size();
  }
  void cameraDeviceDidRemoveItems(CameraDevice&,
                                  const std::vector<std::shared_ptr<CameraItem>>&) override {}
  void cameraDeviceDidFailCatalogWithError(CameraDevice&, const DeviceError& error) override {
    failures.push_back(error.description);
  }

  int ready = 0;
  int additions = 0;
  std::size_t added = 0;
  bool additionAfterFailure = false;
  std::vector<std::string> failures;
};

class DeviceCatalogueTest : public ::testing::Test {
 protected:
  // Opens a device listing with `list` and runs until `done` or 5 s.
  std::shared_ptr<ScriptedDevice> open(ListFolder list,
                                       const std::function<bool()>& done,
                                       std::optional<std::chrono::milliseconds> stallLimit = {}) {
    auto device = std::make_shared<ScriptedDevice>(platform_.mainQueue(), std::move(list), stallLimit);
    device->setDelegate(&recorder_);
    device->setCameraDelegate(&recorder_);
    device->requestOpenSession();
    EXPECT_TRUE(platform_.runUntil(done, 5s));
    return device;
  }

  static std::vector<std::string> names(const CameraDevice& device) {
    std::vector<std::string> result;
    for (const auto& item : device.mediaFiles().value_or(std::vector<std::shared_ptr<CameraItem>>{})) {
      result.push_back(std::dynamic_pointer_cast<CameraFile>(item)->name().value_or("?"));
    }
    return result;
  }

  RealPlatform platform_;
  CatalogueRecorder recorder_;
};

std::shared_ptr<CameraFile> fake(const std::string& name) { return std::make_shared<FakeFile>(name, 1); }

TEST_F(DeviceCatalogueTest, DepthFirstInByteOrderWithoutHiddenEntries) {
  const std::map<std::string, FolderContents> tree = {
      {"/DCIM", {{fake("b.JPG"), fake(".hidden.JPG"), fake("A.JPG")}, {"101", ".MISC", "100"}}},
      {"/DCIM/100", {{fake("IMG_2.HEIC"), fake("IMG_1.HEIC")}, {"sub"}}},
      {"/DCIM/100/sub", {{fake("deep.MOV")}, {}}},
      {"/DCIM/101", {{fake("IMG_3.AAE")}, {}}},
      {"/DCIM/.MISC", {{fake("never.plist")}, {}}},
  };
  std::atomic<int> listed{0};
  auto device = open(
      [&](const std::string& folder, FolderContents* out) {
        *out = tree.at(folder);
        ++listed;
        return std::optional<DeviceError>();
      },
      [&] { return recorder_.added == 6; });
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_EQ(names(*device), (std::vector<std::string>{"A.JPG", "b.JPG", "IMG_1.HEIC", "IMG_2.HEIC",
                                                       "deep.MOV", "IMG_3.AAE"}));
  EXPECT_EQ(listed, 4) << "a hidden folder is not even listed";
  EXPECT_EQ(recorder_.ready, 1);
  EXPECT_TRUE(recorder_.failures.empty());
}

TEST_F(DeviceCatalogueTest, AFolderThatStaysUnreadableFailsTheCatalogueAfterRetries) {
  std::mutex mutex;
  std::map<std::string, int> attempts;
  auto device = open(
      [&](const std::string& folder, FolderContents* out) -> std::optional<DeviceError> {
        std::lock_guard lock(mutex);
        const int attempt = ++attempts[folder];
        if (folder == "/DCIM") *out = {{fake("A.JPG")}, {"100", "101", "102"}};
        if (folder == "/DCIM/100" && attempt < 3) return DeviceError{"flaky"};
        if (folder == "/DCIM/100") out->files = {fake("B.JPG")};
        if (folder == "/DCIM/101") return DeviceError{"Couldn't list /DCIM/101: I/O error"};
        return std::nullopt;
      },
      [&] { return !recorder_.failures.empty(); });
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_EQ(recorder_.failures, std::vector<std::string>{"Couldn't list /DCIM/101: I/O error"});
  std::lock_guard lock(mutex);
  EXPECT_EQ(attempts["/DCIM/100"], 3) << "listed again until it answered";
  EXPECT_EQ(attempts["/DCIM/101"], QueuedCameraDevice::kListingAttempts);
  EXPECT_EQ(attempts.count("/DCIM/102"), 0u) << "the walk stops at the failure";
  EXPECT_FALSE(recorder_.additionAfterFailure);
}

TEST_F(DeviceCatalogueTest, AListingCallThatNeverAnswersFailsTheCatalogue) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  auto device = open(
      [&](const std::string&, FolderContents*) -> std::optional<DeviceError> {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return DeviceError{"released"};
      },
      [&] { return !recorder_.failures.empty(); }, 500ms);
  EXPECT_EQ(recorder_.failures,
            std::vector<std::string>{"The device stopped answering while its contents were listed."});
  EXPECT_GE(recorder_.additions, 2) << "the heartbeat ran until then";
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_EQ(recorder_.failures.size(), 1u) << "reported once";
}

}  // namespace
}  // namespace picferry
