// The usbmuxd browser and the combined browser against the fake phone: each
// attached phone is reported once, as a camera named by its owner, and its
// unplugging as a removal.

#include "camera/imobiledevice/usbmuxd_browser.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "camera/combined_browser.h"
#include "device/afc/fake_phone_process.h"
#include "platform/real_platform.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr unsigned kLocalCameras = kDeviceTypeCamera | kDeviceLocationLocal;

struct RecordingDelegate final : DeviceBrowserDelegate, DeviceDelegate {
  void deviceBrowserDidAddDevice(DeviceBrowser& browser, const std::shared_ptr<Device>& device,
                                 bool) override {
    reportedBy.push_back(&browser);
    added.push_back(device);
    device->setDelegate(this);
  }
  void deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                    bool) override {
    removed.push_back(device);
  }
  void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser&) override {
    addedAtFirstLook.push_back(added.size());
  }
  void deviceDidOpenSessionWithError(Device&, const std::optional<DeviceError>& error) override {
    opened.push_back(error);
  }
  void deviceDidCloseSessionWithError(Device&, const std::optional<DeviceError>&) override {}
  void didRemoveDevice(Device&) override { ++deviceRemovals; }

  std::vector<DeviceBrowser*> reportedBy;
  std::vector<std::shared_ptr<Device>> added;
  std::vector<std::shared_ptr<Device>> removed;
  std::vector<std::size_t> addedAtFirstLook;  // how many were added when the first look ended
  std::vector<std::optional<DeviceError>> opened;
  int deviceRemovals = 0;
};

class UsbmuxdBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "phone/DCIM");
    phone_ = std::make_unique<test::FakePhoneProcess>(dir_.string());
  }
  void TearDown() override {
    phone_.reset();
  }

  // Runs `browser` until the phone is reported and opened, unplugs it, and
  // waits for its removal.
  void attachOpenAndUnplug(DeviceBrowser& browser) {
    browser.setDelegate(&delegate_);
    browser.setBrowsedDeviceTypeMask(kLocalCameras);
    browser.start();
    ASSERT_TRUE(platform_.runUntil([&] { return !delegate_.addedAtFirstLook.empty(); }, 10s));
    EXPECT_EQ(delegate_.addedAtFirstLook, std::vector<std::size_t>{1}) << "the phone, then the end";
    auto camera = std::dynamic_pointer_cast<CameraDevice>(delegate_.added[0]);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->id(), test::kFakePhoneUdid);
    EXPECT_EQ(camera->route(), DeviceRoute::usbmuxd);
    EXPECT_EQ(camera->name(), "Zoë's iPhone") << "named before any session";
    camera->requestOpenSession();
    ASSERT_TRUE(platform_.runUntil([&] { return !delegate_.opened.empty(); }, 10s));
    EXPECT_EQ(delegate_.opened[0], std::nullopt);
    EXPECT_EQ(camera->name(), "Zoë's iPhone");
    platform_.runUntil([] { return false; }, 1500ms);  // a second poll must not report it again
    EXPECT_EQ(delegate_.added.size(), 1u);
    phone_->unplug();
    ASSERT_TRUE(platform_.runUntil([&] { return !delegate_.removed.empty(); }, 10s));
    EXPECT_EQ(delegate_.removed[0], delegate_.added[0]);
    EXPECT_EQ(delegate_.deviceRemovals, 1);
  }

  picferry::testing::TempDir tmp_{"usbmuxd-browser"};
  const fs::path dir_ = tmp_.path;
  std::unique_ptr<test::FakePhoneProcess> phone_;
  RealPlatform platform_;
  RecordingDelegate delegate_;
};

TEST_F(UsbmuxdBrowserTest, ReportsThePhoneOnceAndItsUnplugging) {
  ASSERT_TRUE(phone_->start());
  auto browser = makeUsbmuxdBrowser(platform_.mainQueue(), std::make_shared<UsbmuxdPresence>());
  attachOpenAndUnplug(*browser);
}

TEST_F(UsbmuxdBrowserTest, CombinedBrowserReportsThePhoneAsItself) {
  ASSERT_TRUE(phone_->start());
  auto browser = makeCombinedBrowser(platform_.mainQueue());
  attachOpenAndUnplug(*browser);
  EXPECT_EQ(delegate_.reportedBy, std::vector<DeviceBrowser*>{browser.get()});
}

TEST_F(UsbmuxdBrowserTest, ReportsNothingWhileUsbmuxdIsAbsent) {
  auto presence = std::make_shared<UsbmuxdPresence>();
  auto browser = makeUsbmuxdBrowser(platform_.mainQueue(), presence);
  browser->setDelegate(&delegate_);
  browser->setBrowsedDeviceTypeMask(kLocalCameras);
  browser->start();
  platform_.runUntil([] { return false; }, 300ms);
  EXPECT_FALSE(presence->answers());
  EXPECT_TRUE(delegate_.added.empty());
  EXPECT_EQ(delegate_.addedAtFirstLook, std::vector<std::size_t>{0}) << "a first look all the same";
}

TEST_F(UsbmuxdBrowserTest, APhoneTheFilterLeavesOutIsNotReported) {
  ASSERT_TRUE(phone_->start());
  auto browser =
      makeUsbmuxdBrowser(platform_.mainQueue(), std::make_shared<UsbmuxdPresence>(),
                         [](const std::string& id) { return id != test::kFakePhoneUdid; });
  browser->setDelegate(&delegate_);
  browser->setBrowsedDeviceTypeMask(kLocalCameras);
  browser->start();
  ASSERT_TRUE(platform_.runUntil([&] { return !delegate_.addedAtFirstLook.empty(); }, 10s));
  platform_.runUntil([] { return false; }, 1500ms);
  EXPECT_TRUE(delegate_.added.empty());
}

}  // namespace
}  // namespace picferry
