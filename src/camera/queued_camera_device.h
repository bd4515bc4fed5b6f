#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/worker_thread.h"
#include "platform/main_queue.h"

namespace picferry {

// What every backend whose devices work on a thread shares: the delegates
// (main thread), the name and catalogue (readable from any thread), and the
// callbacks, posted to the main queue from any thread. A posted callback
// whose device is gone by then does nothing. Create with std::make_shared.
class QueuedCameraDevice : public CameraDevice,
                           public std::enable_shared_from_this<QueuedCameraDevice> {
 public:
  // While a listing runs, an addition reaches the main queue at least every
  // two heartbeats.
  static constexpr std::chrono::milliseconds kHeartbeat{250};

  // Device
  void setDelegate(DeviceDelegate* delegate) override { delegate_ = delegate; }
  // CameraDevice
  void setCameraDelegate(CameraDeviceDelegate* delegate) override { cameraDelegate_ = delegate; }
  std::optional<std::string> name() const override;
  std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const override;

  // Posts didRemoveDevice to the device delegate.
  void reportRemoved();

 protected:
  QueuedCameraDevice(MainQueue& mainQueue, std::optional<std::string> name)
      : mainQueue_(mainQueue), name_(std::move(name)) {}

  void setName(std::optional<std::string> name);
  void postOpened(std::optional<DeviceError> error);

  // Starts an empty catalogue, posts readiness and a first (empty) addition,
  // and returns the heartbeat that keeps additions coming while it lives.
  std::unique_ptr<Ticker> beginCatalogue();
  // Appends `files` to the catalogue and posts them as one addition.
  void addToCatalogue(std::vector<std::shared_ptr<CameraItem>> files);

  // Runs `download` on `worker` and reports its outcome exactly once: the
  // outcome, or a failure when the worker is destroyed before it started.
  void submitDownload(WorkerThread& worker, std::shared_ptr<CameraFile> file, std::string fileName,
                      const DownloadOptions& options, CameraDeviceDownloadDelegate* delegate,
                      void* contextInfo, std::function<std::optional<DeviceError>()> download);
  // submitDownload for a file of this backend (`OwnFile`), copied by
  // `download(ownFile, options)`; a file of another device fails at once.
  template <typename OwnFile, typename Download>
  void submitOwnDownload(WorkerThread& worker, const std::shared_ptr<CameraFile>& file,
                         const DownloadOptions& options, CameraDeviceDownloadDelegate* delegate,
                         void* contextInfo, Download download) {
    auto own = std::dynamic_pointer_cast<OwnFile>(file);
    if (!own) {
      postDownloaded(delegate, file, DeviceError{"This file does not belong to the device."},
                     options, contextInfo);
      return;
    }
    submitDownload(worker, own, own->fileName(), options, delegate, contextInfo,
                   [own, options, download] { return download(*own, options); });
  }
  // Reports a download's outcome on the main queue.
  void postDownloaded(CameraDeviceDownloadDelegate* delegate, std::shared_ptr<CameraFile> file,
                      std::optional<DeviceError> error, DownloadOptions options, void* contextInfo);

 private:
  void postAdded(std::vector<std::shared_ptr<CameraItem>> items);

  MainQueue& mainQueue_;

  // Main thread only.
  DeviceDelegate* delegate_ = nullptr;
  CameraDeviceDelegate* cameraDelegate_ = nullptr;

  mutable std::mutex mutex_;
  std::optional<std::string> name_;                                // guarded by mutex_
  std::optional<std::vector<std::shared_ptr<CameraItem>>> items_;  // guarded by mutex_

  // Nanoseconds (steady clock) of the last addition posted.
  std::atomic<std::int64_t> lastAddition_{0};
};

}  // namespace picferry
