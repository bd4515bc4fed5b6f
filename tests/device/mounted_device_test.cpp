// The mounted-storage backend on a real file system: a tmpfs with a DCIM
// folder, mounted in a private mount namespace, is a card. Needs root (the
// test is skipped otherwise).

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "camera/mounted/mounted_browser.h"
#include "platform/real_platform.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kLocalCameras = kDeviceTypeCamera | kDeviceLocationLocal;

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  char* made = mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool mountTmpfs(const std::string& dir, const std::string& size) {
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes, time_t mtime) {
  std::ofstream(path, std::ios::binary) << bytes;
  timespec times[2] = {{mtime, 0}, {mtime, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

int openDescriptors() { return static_cast<int>(entries("/proc/self/fd").size()); }

// Records every callback, and that each arrives on the test's thread.
class Recorder final : public DeviceBrowserDelegate,
                       public DeviceDelegate,
                       public CameraDeviceDelegate,
                       public CameraDeviceDownloadDelegate {
 public:
  struct Download {
    std::string name;
    std::optional<DeviceError> error;
  };

  void deviceBrowserDidAddDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                 bool) override {
    onMain();
    added.push_back(device);
  }
  void deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>& device,
                                    bool) override {
    onMain();
    removed.push_back(device);
  }
  void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser&) override {
    onMain();
    addedAtFirstLook.push_back(added.size());
  }
  void deviceDidOpenSessionWithError(Device&, const std::optional<DeviceError>& error) override {
    onMain();
    opened.push_back(error);
  }
  void deviceDidCloseSessionWithError(Device&, const std::optional<DeviceError>&) override {
    onMain();
  }
  void didRemoveDevice(Device&) override { onMain(); }
  void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice&) override {
    onMain();
    ++ready;
  }
  void cameraDeviceDidAddItems(CameraDevice&,
                               const std::vector<std::shared_ptr<CameraItem>>& items) override {
    onMain();
    if (ready == 0) additionBeforeReady = true;
    additionTimes.push_back(std::chrono::steady_clock::now());
    itemsAdded += items.size();
  }
  void cameraDeviceDidRemoveItems(CameraDevice&,
                                  const std::vector<std::shared_ptr<CameraItem>>&) override {
    onMain();
  }
  void cameraDeviceDidFailCatalogWithError(CameraDevice&, const DeviceError& error) override {
    onMain();
    catalogueFailures.push_back(error);
  }
  void didDownloadFile(const std::shared_ptr<CameraFile>& file,
                       const std::optional<DeviceError>& error, const DownloadOptions&,
                       void*) override {
    onMain();
    downloads.push_back({file->name().value_or(""), error});
  }

  std::shared_ptr<CameraDevice> camera(const std::string& name) const {
    for (const auto& device : added) {
      auto camera = std::dynamic_pointer_cast<CameraDevice>(device);
      if (camera && camera->name() == name) return camera;
    }
    return nullptr;
  }

  std::thread::id mainThread = std::this_thread::get_id();
  bool offMainThread = false;
  std::vector<std::shared_ptr<Device>> added;
  std::vector<std::size_t> addedAtFirstLook;  // how many were added when the first look ended
  std::vector<std::shared_ptr<Device>> removed;
  std::vector<std::optional<DeviceError>> opened;
  int ready = 0;
  bool additionBeforeReady = false;
  std::size_t itemsAdded = 0;
  std::vector<std::chrono::steady_clock::time_point> additionTimes;
  std::vector<Download> downloads;
  std::vector<DeviceError> catalogueFailures;

 private:
  void onMain() {
    if (std::this_thread::get_id() != mainThread) offMainThread = true;
  }
};

struct FileSpec {
  std::string path;  // under the camera's root
  std::size_t size;
};

// Sorted within a folder, a folder's files before its sub-folders.
const std::vector<FileSpec> kCatalogue = {
    {"DCIM/100APPLE/IMG_0001.JPG", 150'000},  {"DCIM/100APPLE/IMG_0002.MOV", 3'000'000},
    {"DCIM/100APPLE/IMG_0003.PNG", 0},        {"DCIM/100APPLE/IMG_0004.HEIC", 2'345},
    {"DCIM/100APPLE/IMG_0004.aae", 321},      {"DCIM/100APPLE/Edits/IMG_0001.JPG", 1'234},
    {"DCIM/101APPLE/IMG_0100.MP4", 70'001},
};
constexpr time_t kMtime = 1'600'000'000;

// One tmpfs camera, one destination, HOME in a temporary folder, and
// standard error captured: the backend must never write to it.
class MountedDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root and a private mount namespace";
    home_ = makeTempDir("picferry-home");
    setenv("HOME", home_.c_str(), 1);
    cameraRoot_ = makeTempDir("picferry-cam");
    if (!mountTmpfs(cameraRoot_, "64m")) GTEST_SKIP() << "cannot mount a tmpfs";
    mounts_.push_back(cameraRoot_);
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
      std::string path = cameraRoot_ + "/" + kCatalogue[i].path;
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      writeFile(path, randomBytes(kCatalogue[i].size, static_cast<unsigned>(i)), kMtime);
    }
    writeFile(cameraRoot_ + "/DCIM/100APPLE/.hidden.JPG", "hidden", kMtime);
    std::filesystem::create_directories(cameraRoot_ + "/DCIM/.MISC");
    writeFile(cameraRoot_ + "/DCIM/.MISC/Info.plist", "hidden folder", kMtime);
    std::filesystem::create_directory_symlink("/etc", cameraRoot_ + "/DCIM/linked");
    std::filesystem::create_directories(cameraRoot_ + "/Other");
    writeFile(cameraRoot_ + "/Other/OUTSIDE.JPG", "outside DCIM", kMtime);
    dest_ = makeTempDir("picferry-dest");

    fflush(stderr);
    savedStderr_ = dup(2);
    stderrPath_ = home_ + "/stderr";
    int capture = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(capture, 2);
    close(capture);
  }

  void TearDown() override {
    if (savedStderr_ >= 0) {
      dup2(savedStderr_, 2);
      close(savedStderr_);
      EXPECT_EQ(readFile(stderrPath_), "") << "the backend wrote to standard error";
    }
    for (const auto& dir : mounts_) umount2(dir.c_str(), MNT_DETACH);
    std::error_code ignored;
    for (const auto& dir : mounts_) std::filesystem::remove_all(dir, ignored);
    for (const auto& dir : {home_, cameraRoot_, dest_}) {
      if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
  }

  // Starts a browser for local cameras and returns this test's camera once
  // the first look has ended, if it was reported.
  std::shared_ptr<CameraDevice> findCamera(DeviceFilter filter = {}) {
    recorder_.addedAtFirstLook.clear();
    browser_ = makeMountedBrowser(platform_.mainQueue(), std::move(filter));
    browser_->setDelegate(&recorder_);
    browser_->setBrowsedDeviceTypeMask(kLocalCameras);
    browser_->start();
    std::string name = lastComponent(cameraRoot_);
    platform_.runUntil([&] { return !recorder_.addedAtFirstLook.empty(); }, 10s);
    auto camera = recorder_.camera(name);
    if (camera) {
      camera->setDelegate(&recorder_);
      camera->setCameraDelegate(&recorder_);
    }
    return camera;
  }

  // Opens a session and waits until `count` files are listed.
  std::shared_ptr<CameraDevice> openWithCatalogue(std::size_t count = kCatalogue.size(),
                                                  std::chrono::milliseconds timeout = 60s) {
    auto camera = findCamera();
    if (!camera) return nullptr;
    camera->requestOpenSession();
    platform_.runUntil(
        [&] {
          auto files = camera->mediaFiles();
          return files && files->size() >= count;
        },
        timeout);
    return camera;
  }

  std::shared_ptr<CameraFile> file(CameraDevice& camera, const std::string& name) {
    for (const auto& item : camera.mediaFiles().value_or(std::vector<std::shared_ptr<CameraItem>>{})) {
      auto f = std::dynamic_pointer_cast<CameraFile>(item);
      if (f && f->name() == name) return f;
    }
    return nullptr;
  }

  // Downloads and waits for the result.
  std::optional<DeviceError> download(CameraDevice& camera, const std::shared_ptr<CameraFile>& f,
                                      const std::string& dir, const std::string& saveAs) {
    std::size_t before = recorder_.downloads.size();
    camera.requestDownloadFile(f, {dir, saveAs, false}, &recorder_, nullptr);
    bool done = platform_.runUntil([&] { return recorder_.downloads.size() > before; }, 30s);
    if (!done) return DeviceError{"timed out"};
    EXPECT_EQ(recorder_.downloads.size(), before + 1);
    return recorder_.downloads.back().error;
  }

  RealPlatform platform_;  // First: outlives everything that posts to it.
  Recorder recorder_;
  std::unique_ptr<DeviceBrowser> browser_;
  std::string home_, cameraRoot_, dest_, stderrPath_;
  std::vector<std::string> mounts_;
  int savedStderr_ = -1;
};

TEST_F(MountedDeviceTest, BrowserReportsTheMountedCameraOnceAndItsRemoval) {
  auto camera = findCamera();
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->name(), lastComponent(cameraRoot_));
  EXPECT_EQ(camera->id(), cameraRoot_);  // a tmpfs has no UUID
  EXPECT_EQ(camera->route(), DeviceRoute::mounted);
  ASSERT_EQ(recorder_.addedAtFirstLook.size(), 1u);
  EXPECT_EQ(recorder_.addedAtFirstLook[0], recorder_.added.size()) << "told after the additions";
  platform_.runUntil([] { return false; }, 2500ms);  // Two more polls: no second report.
  std::string name = lastComponent(cameraRoot_);
  int reports = 0;
  for (const auto& device : recorder_.added) {
    auto c = std::dynamic_pointer_cast<CameraDevice>(device);
    if (c && c->name() == name) ++reports;
  }
  EXPECT_EQ(reports, 1);
  EXPECT_TRUE(recorder_.removed.empty());

  umount2(cameraRoot_.c_str(), MNT_DETACH);
  mounts_.clear();
  EXPECT_TRUE(platform_.runUntil(
      [&] {
        return std::any_of(recorder_.removed.begin(), recorder_.removed.end(),
                           [&](const auto& d) { return d == camera; });
      },
      5s));
  EXPECT_FALSE(recorder_.offMainThread);
}

TEST_F(MountedDeviceTest, BrowserLeavesOutWhatTheFilterDoesNotTake) {
  EXPECT_FALSE(findCamera([&](const std::string& id) { return id != cameraRoot_; }));
  EXPECT_EQ(recorder_.addedAtFirstLook.size(), 1u);
  EXPECT_TRUE(findCamera([&](const std::string& id) { return id == cameraRoot_; }));
}

TEST_F(MountedDeviceTest, BrowserWithoutLocalCameraMaskReportsNothing) {
  browser_ = makeMountedBrowser(platform_.mainQueue());
  browser_->setDelegate(&recorder_);
  browser_->setBrowsedDeviceTypeMask(kDeviceTypeCamera);  // Not "local".
  browser_->start();
  platform_.runUntil([] { return false; }, 2500ms);
  EXPECT_TRUE(recorder_.added.empty());
}

TEST_F(MountedDeviceTest, SessionListsDcimFolderByFolderWithSizes) {
  auto camera = findCamera();
  ASSERT_TRUE(camera);
  EXPECT_FALSE(camera->mediaFiles().has_value());  // Nothing known before a session.
  camera->requestOpenSession();
  ASSERT_TRUE(platform_.runUntil([&] { return !recorder_.opened.empty(); }, 20s));
  EXPECT_EQ(recorder_.opened[0], std::nullopt);
  ASSERT_TRUE(platform_.runUntil(
      [&] { return recorder_.itemsAdded >= kCatalogue.size(); }, 20s));
  platform_.runUntil([] { return false; }, 1500ms);  // Nothing more arrives.

  EXPECT_EQ(recorder_.ready, 1);
  EXPECT_FALSE(recorder_.additionBeforeReady);
  EXPECT_EQ(recorder_.itemsAdded, kCatalogue.size());
  EXPECT_TRUE(recorder_.catalogueFailures.empty());
  auto files = camera->mediaFiles();
  ASSERT_TRUE(files);
  ASSERT_EQ(files->size(), kCatalogue.size());
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    auto f = std::dynamic_pointer_cast<CameraFile>((*files)[i]);
    ASSERT_TRUE(f) << i;
    EXPECT_EQ(f->name(), lastComponent(kCatalogue[i].path)) << i;
    EXPECT_EQ(f->fileSize(), static_cast<std::int64_t>(kCatalogue[i].size)) << i;
    EXPECT_EQ(f->modificationDate(), kMtime) << i;
  }
  // A second request finds the session open and lists nothing again.
  camera->requestOpenSession();
  ASSERT_TRUE(platform_.runUntil([&] { return recorder_.opened.size() == 2; }, 10s));
  EXPECT_EQ(recorder_.opened[1], std::nullopt);
  platform_.runUntil([] { return false; }, 700ms);
  EXPECT_EQ(recorder_.ready, 1);
  EXPECT_EQ(camera->mediaFiles()->size(), kCatalogue.size());
  EXPECT_FALSE(recorder_.offMainThread);
}

TEST_F(MountedDeviceTest, DownloadIsIdenticalKeepsTheDateAndNeverOverwrites) {
  int descriptorsBefore = openDescriptors();
  {
    auto camera = openWithCatalogue();
    ASSERT_TRUE(camera);
    auto movie = file(*camera, "IMG_0002.MOV");
    ASSERT_TRUE(movie);
    std::string source = cameraRoot_ + "/DCIM/100APPLE/IMG_0002.MOV";

    EXPECT_EQ(download(*camera, movie, dest_, "IMG_0002.MOV"), std::nullopt);
    EXPECT_EQ(readFile(dest_ + "/IMG_0002.MOV"), readFile(source));
    struct stat st {};
    ASSERT_EQ(stat((dest_ + "/IMG_0002.MOV").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, kMtime);

    // Name clashes: numbered before the extension; what was there is untouched.
    writeFile(dest_ + "/IMG_0001.JPG", "precious", 1);
    auto photo = file(*camera, "IMG_0001.JPG");  // The one in 100APPLE comes first.
    ASSERT_TRUE(photo);
    EXPECT_EQ(download(*camera, photo, dest_, "IMG_0001.JPG"), std::nullopt);
    EXPECT_EQ(download(*camera, photo, dest_, "IMG_0001.JPG"), std::nullopt);
    EXPECT_EQ(readFile(dest_ + "/IMG_0001.JPG"), "precious");
    EXPECT_EQ(readFile(dest_ + "/IMG_0001 (1).JPG"),
              readFile(cameraRoot_ + "/DCIM/100APPLE/IMG_0001.JPG"));
    EXPECT_EQ(readFile(dest_ + "/IMG_0001 (2).JPG"), readFile(dest_ + "/IMG_0001 (1).JPG"));
    std::filesystem::create_directory(dest_ + "/IMG_0003.PNG");  // A directory counts too.
    EXPECT_EQ(download(*camera, file(*camera, "IMG_0003.PNG"), dest_, "IMG_0003.PNG"),
              std::nullopt);
    EXPECT_EQ(readFile(dest_ + "/IMG_0003 (1).PNG"), "");

    EXPECT_EQ(entries(dest_),
              (std::set<std::string>{"IMG_0002.MOV", "IMG_0001.JPG", "IMG_0001 (1).JPG",
                                     "IMG_0001 (2).JPG", "IMG_0003.PNG", "IMG_0003 (1).PNG"}));
    EXPECT_FALSE(recorder_.offMainThread);
    recorder_.added.clear();
    browser_.reset();
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST_F(MountedDeviceTest, UnsafeSaveAsNamesAreRefusedAndWriteNothing) {
  auto camera = openWithCatalogue();
  ASSERT_TRUE(camera);
  auto photo = file(*camera, "IMG_0100.MP4");
  ASSERT_TRUE(photo);
  std::string inner = dest_ + "/inner";
  std::filesystem::create_directory(inner);
  for (const std::string& name :
       {std::string(""), std::string("."), std::string(".."), std::string("../escape.MP4"),
        std::string("a/b.MP4"), std::string("/abs.MP4"), std::string("nul\0.MP4", 8)}) {
    auto error = download(*camera, photo, inner, name);
    ASSERT_TRUE(error.has_value()) << name;
    EXPECT_FALSE(error->description.empty());
  }
  EXPECT_TRUE(entries(inner).empty());
  EXPECT_EQ(entries(dest_), std::set<std::string>{"inner"});
}

TEST_F(MountedDeviceTest, FullDestinationFailsAndLeavesNothing) {
  auto camera = openWithCatalogue();
  ASSERT_TRUE(camera);
  std::string tiny = makeTempDir("picferry-full");
  ASSERT_TRUE(mountTmpfs(tiny, "256k"));
  mounts_.push_back(tiny);
  auto error = download(*camera, file(*camera, "IMG_0002.MOV"), tiny, "IMG_0002.MOV");
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->description.find("IMG_0002.MOV"), std::string::npos) << error->description;
  EXPECT_TRUE(entries(tiny).empty());
  // A file that fits still arrives afterwards.
  EXPECT_EQ(download(*camera, file(*camera, "IMG_0100.MP4"), tiny, "IMG_0100.MP4"), std::nullopt);
  EXPECT_EQ(entries(tiny), std::set<std::string>{"IMG_0100.MP4"});
}

TEST_F(MountedDeviceTest, DownloadBeforeSessionAndMissingDestinationFail) {
  auto camera = openWithCatalogue();
  ASSERT_TRUE(camera);
  auto error = download(*camera, file(*camera, "IMG_0001.JPG"), dest_ + "/missing", "X.JPG");
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->description.find("missing"), std::string::npos) << error->description;
}

}  // namespace
}  // namespace picferry
