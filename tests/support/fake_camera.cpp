#include "support/fake_camera.h"

#include <algorithm>

namespace picferry::testing {

void FakeCamera::refuseNextOpens(int count, const std::string& description) {
  for (int i = 0; i < count; ++i) {
    openAnswers_.push_back(DeviceError{description + " #" + std::to_string(openAnswers_.size() + 1)});
  }
}

void FakeCamera::requestOpenSession() {
  openRequests_.push_back(now_());
  std::optional<DeviceError> answer;
  if (!openAnswers_.empty()) {
    answer = openAnswers_.front();
    openAnswers_.pop_front();
  }
  mainQueue_.post([this, answer] { delegate_->deviceDidOpenSessionWithError(*this, answer); });
}

void FakeCamera::becomeReady() {
  mainQueue_.post([this] { cameraDelegate_->deviceDidBecomeReadyWithCompleteContentCatalog(*this); });
}

void FakeCamera::failCatalog(const std::string& description) {
  mainQueue_.post([this, description] {
    cameraDelegate_->cameraDeviceDidFailCatalogWithError(*this, DeviceError{description});
  });
}

void FakeCamera::addItems(std::vector<std::shared_ptr<CameraItem>> items) {
  items_.insert(items_.end(), items.begin(), items.end());
  mainQueue_.post([this, items] {
    if (cameraDelegate_) cameraDelegate_->cameraDeviceDidAddItems(*this, items);
  });
}

std::optional<std::vector<std::shared_ptr<CameraItem>>> FakeCamera::mediaFiles() const {
  if (catalogAbsent_) return std::nullopt;
  return items_;
}

void FakeCamera::requestDownloadFile(const std::shared_ptr<CameraFile>& file,
                                     const DownloadOptions& options,
                                     CameraDeviceDownloadDelegate* downloadDelegate, void*) {
  downloadRequests_.push_back({file, options, now_()});
  pending_.push_back({file, options, downloadDelegate});
  downloadDelegate_ = downloadDelegate;
  maxOutstanding_ = std::max(maxOutstanding_, static_cast<int>(pending_.size()));
  if (downloadDelay < 0) return;
  std::optional<DeviceError> error;
  const std::string name = file->name().value_or("");
  if (std::find(failingNames.begin(), failingNames.end(), name) != failingNames.end()) {
    error = DeviceError{"The file could not be read.", failingCode};
  }
  mainQueue_.postAfter(downloadDelay, [this, error] { complete(error); });
}

void FakeCamera::requestThumbnailSource(const std::shared_ptr<CameraFile>& file,
                                        CameraDeviceThumbnailDelegate* delegate) {
  thumbnailRequests.push_back(file->devicePath());
  ThumbnailSource source;
  source.fileSize = file->fileSize();
  source.deviceThumbnail = file->devicePath();
  mainQueue_.postAfter(thumbnailDelay, [file, delegate, source] {
    delegate->didReadThumbnailSource(file, source);
  });
}

void FakeCamera::complete(const std::optional<DeviceError>& error) {
  Pending pending = pending_.front();
  pending_.pop_front();
  // Saved under the name asked for: the fake touches no folder.
  if (!error) pending.options.savedFilename = pending.options.saveAsFilename;
  pending.delegate->didDownloadFile(pending.file, error, pending.options, nullptr);
}

void FakeCamera::reportProgress(std::shared_ptr<CameraFile> file, std::int64_t bytes) {
  mainQueue_.post([this, file = std::move(file), bytes] {
    downloadDelegate_->didReceiveDownloadProgressForFile(file, bytes);
  });
}

void FakeBrowser::start() {
  started_ = true;
  if (firstLookAtStart) enumerate();
}

void FakeBrowser::enumerate() {
  mainQueue_.post([this] { delegate_->deviceBrowserDidEnumerateLocalDevices(*this); });
}

void FakeBrowser::attach(std::shared_ptr<Device> device) {
  mainQueue_.post([this, device] { delegate_->deviceBrowserDidAddDevice(*this, device, false); });
}

void FakeBrowser::detach(std::shared_ptr<Device> device) {
  mainQueue_.post([this, device] { delegate_->deviceBrowserDidRemoveDevice(*this, device, false); });
}

}  // namespace picferry::testing
