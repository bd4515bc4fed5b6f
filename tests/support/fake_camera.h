#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "platform/main_queue.h"

namespace picferry::testing {

class FakeFile : public CameraFile {
 public:
  // Its device path is `path`, else /DCIM/100TEST/ and its name.
  FakeFile(std::optional<std::string> name, std::int64_t size,
           std::optional<std::int64_t> mtime = std::nullopt,
           std::optional<std::string> path = std::nullopt)
      : name_(std::move(name)),
        size_(size),
        mtime_(mtime),
        path_(path ? std::move(*path) : "/DCIM/100TEST/" + name_.value_or("")) {}
  std::optional<std::string> name() const override { return name_; }
  std::int64_t fileSize() const override { return size_; }
  std::optional<std::int64_t> modificationDate() const override { return mtime_; }
  std::string devicePath() const override { return path_; }

 private:
  std::optional<std::string> name_;
  std::int64_t size_;
  std::optional<std::int64_t> mtime_;
  std::string path_;
};

// An item that is not a file, such as a folder.
class FakeFolder : public CameraItem {};

// A device that is not a camera.
class FakeScanner : public Device {
 public:
  const std::string& id() const override { return id_; }
  DeviceRoute route() const override { return DeviceRoute::usb; }
  void setDelegate(DeviceDelegate*) override {}
  void requestOpenSession() override { ++openRequests; }
  int openRequests = 0;

 private:
  std::string id_ = "SCANNER-1";
};

// A scripted camera. Every callback it makes goes through the main queue, as
// a real backend's do, and every request it receives is recorded.
class FakeCamera : public CameraDevice {
 public:
  struct DownloadRequest {
    std::shared_ptr<CameraFile> file;
    DownloadOptions options;
    double time;
  };

  FakeCamera(MainQueue& mainQueue, std::optional<std::string> name,
             std::string id = "FAKE-CAMERA-1", DeviceRoute route = DeviceRoute::usb)
      : mainQueue_(mainQueue), name_(std::move(name)), id_(std::move(id)), route_(route) {}

  // Session answers, in order; once they run out, every request succeeds.
  void refuseNextOpens(int count, const std::string& description);
  // Downloads complete this long after their request, with `downloadError`
  // for the files so named; with a negative delay they wait for complete().
  double downloadDelay = 0.5;
  std::vector<std::string> failingNames;
  FailureCode failingCode = FailureCode::deviceReadFailed;
  void complete(const std::optional<DeviceError>& error);
  // Tells the delegate of the last request, through the main queue, that
  // `bytes` of `file` were copied.
  void reportProgress(std::shared_ptr<CameraFile> file, std::int64_t bytes);

  void becomeReady();
  void failCatalog(const std::string& description);
  void addItems(std::vector<std::shared_ptr<CameraItem>> items);
  void setCatalogAbsent() { catalogAbsent_ = true; }
  void setClock(const std::function<double()>& now) { now_ = now; }

  const std::vector<double>& openRequests() const { return openRequests_; }
  const std::vector<DownloadRequest>& downloadRequests() const { return downloadRequests_; }
  // The last plan given, and how many requests came before the first plan.
  const std::vector<PlannedDownload>& plan() const { return plan_; }
  std::optional<std::size_t> requestsBeforePlan() const { return requestsBeforePlan_; }
  int outstandingDownloads() const { return static_cast<int>(pending_.size()); }
  int maxOutstandingDownloads() const { return maxOutstanding_; }

  // CameraDevice
  const std::string& id() const override { return id_; }
  DeviceRoute route() const override { return route_; }
  void setDelegate(DeviceDelegate* delegate) override { delegate_ = delegate; }
  void setCameraDelegate(CameraDeviceDelegate* delegate) override { cameraDelegate_ = delegate; }
  void requestOpenSession() override;
  std::optional<std::string> name() const override { return name_; }
  std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const override;
  void requestDownloadFile(const std::shared_ptr<CameraFile>& file, const DownloadOptions& options,
                           CameraDeviceDownloadDelegate* downloadDelegate,
                           void* contextInfo) override;
  void planDownloads(const std::string& directory, std::vector<PlannedDownload> plan) override {
    (void)directory;
    if (!requestsBeforePlan_) requestsBeforePlan_ = downloadRequests_.size();
    plan_ = std::move(plan);
  }
  // Answered through the main queue after thumbnailDelay, with a source whose
  // device thumbnail is the file's path (the fake reads nothing).
  void requestThumbnailSource(const std::shared_ptr<CameraFile>& file,
                              CameraDeviceThumbnailDelegate* delegate) override;
  double thumbnailDelay = 0.1;
  std::vector<std::string> thumbnailRequests;  // device paths, in order

 private:
  struct Pending {
    std::shared_ptr<CameraFile> file;
    DownloadOptions options;
    CameraDeviceDownloadDelegate* delegate;
  };
  MainQueue& mainQueue_;
  std::optional<std::string> name_;
  std::string id_;
  DeviceRoute route_;
  std::function<double()> now_ = [] { return 0.0; };
  DeviceDelegate* delegate_ = nullptr;
  CameraDeviceDelegate* cameraDelegate_ = nullptr;
  std::deque<std::optional<DeviceError>> openAnswers_;
  std::vector<std::shared_ptr<CameraItem>> items_;
  bool catalogAbsent_ = false;
  std::vector<double> openRequests_;
  std::vector<DownloadRequest> downloadRequests_;
  std::deque<Pending> pending_;
  CameraDeviceDownloadDelegate* downloadDelegate_ = nullptr;
  int maxOutstanding_ = 0;
  std::vector<PlannedDownload> plan_;
  std::optional<std::size_t> requestsBeforePlan_;
};

class FakeBrowser : public DeviceBrowser {
 public:
  explicit FakeBrowser(MainQueue& mainQueue) : mainQueue_(mainQueue) {}
  void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_ = mask; }
  // Unless told otherwise, nothing is attached at the start: the first look
  // ends at once.
  void start() override;
  bool firstLookAtStart = true;

  // Reports a device to the delegate, through the main queue.
  void attach(std::shared_ptr<Device> device);
  void detach(std::shared_ptr<Device> device);
  // Ends the first look, through the main queue.
  void enumerate();

  bool started() const { return started_; }
  unsigned mask() const { return mask_; }
  DeviceBrowserDelegate* delegate() const { return delegate_; }

 private:
  MainQueue& mainQueue_;
  DeviceBrowserDelegate* delegate_ = nullptr;
  unsigned mask_ = 0;
  bool started_ = false;
};

}  // namespace picferry::testing
