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
#include "destination/durable_file.h"
#include "transfer/transfer.h"
#include "platform/main_queue.h"

namespace picferry {

// What one folder of a device holds: its files and the names of its folders.
struct FolderContents {
  std::vector<std::shared_ptr<CameraFile>> files;
  std::vector<std::string> folders;
};

// Lists one folder of a device into `out`; a failure is the device's reason.
using ListFolder =
    std::function<std::optional<DeviceError>(const std::string& folder, FolderContents* out)>;

// What every backend's device shares: a worker thread on which every call to
// the device runs, one request at a time; the delegates (main thread); the
// name and catalogue (readable from any thread); and the callbacks, posted to
// the main queue from any thread. A posted callback whose device is gone by
// then does nothing. Create with std::make_shared. Public methods are called
// on the main thread, except reportRemoved (any thread).
class QueuedCameraDevice : public CameraDevice,
                           public std::enable_shared_from_this<QueuedCameraDevice>,
                           private TransferSource {
 public:
  // While a listing runs, an addition reaches the main queue at least every
  // two heartbeats.
  static constexpr std::chrono::milliseconds kHeartbeat{250};
  // A folder whose listing fails is listed this many times before the
  // catalogue fails.
  static constexpr int kListingAttempts = 3;
  static constexpr std::chrono::milliseconds kListingRetryPause{300};

  // Device
  const std::string& id() const final { return id_; }
  DeviceRoute route() const final { return route_; }
  void setDelegate(DeviceDelegate* delegate) override { delegate_ = delegate; }
  // Runs openSession() on the worker.
  void requestOpenSession() final;
  // CameraDevice
  void setCameraDelegate(CameraDeviceDelegate* delegate) override { cameraDelegate_ = delegate; }
  std::optional<std::string> name() const override;
  std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const override;
  void planDownloads(const std::string& directory, std::vector<PlannedDownload> plan) final;

  // Runs readThumbnailSource() on the worker (queued_camera_thumbnail.cpp).
  void requestThumbnailSource(const std::shared_ptr<CameraFile>& file,
                              CameraDeviceThumbnailDelegate* delegate) final;

  // Posts didRemoveDevice to the device delegate.
  void reportRemoved();

 protected:
  // `id` as printableDeviceId made it.
  QueuedCameraDevice(MainQueue& mainQueue, std::string id, DeviceRoute route,
                     std::optional<std::string> name);
  ~QueuedCameraDevice() override;
  // Lets the running request finish and fails those not started. Derived
  // destructors call it first, before the state the worker uses goes.
  void stopWorker();

  // On the worker: opens the session and reports it with postOpened, then,
  // once it is open, lists the catalogue with listCatalogue.
  virtual void openSession() = 0;

  void setName(std::optional<std::string> name);
  void postOpened(std::optional<DeviceError> error);

  // Lists the folder trees under `tops` (worker only): readiness first, then
  // one addition per folder, depth first, each folder's files before its
  // folders, names in byte order, names beginning with "." left out. A folder
  // whose listing still fails after kListingAttempts fails the whole
  // catalogue, as does a listing that makes no progress (no call to `list`
  // returns, no noteCatalogueProgress) for `stallLimit`, when given.
  void listCatalogue(const std::vector<std::string>& tops, const ListFolder& list,
                     std::optional<std::chrono::milliseconds> stallLimit = std::nullopt);
  // Tells the stall check that a long listing call is still moving.
  void noteCatalogueProgress();

  // On the worker: what the file offers towards its thumbnail.
  virtual ThumbnailSource readThumbnailSource(const CameraFile& file) = 0;

  // Copies the file through the transfer and reports its outcome exactly
  // once; its progress too, when the options ask for it.
  void requestDownload(DownloadRequest request);
  // Reports a download's outcome on the main queue.
  void postDownloaded(CameraDeviceDownloadDelegate* delegate, std::shared_ptr<CameraFile> file,
                      std::optional<DeviceError> error, DownloadOptions options, void* contextInfo);

 private:
  // TransferSource
  void runOnDevice(std::function<void()> run, std::function<void()> abandon) override;

  // The transfer, started with the first download (main thread).
  Transfer& transfer();
  void beginCatalogue();
  bool addToCatalogue(std::vector<std::shared_ptr<CameraItem>> files);
  void failCatalogue(DeviceError error);
  void checkCatalogueHeartbeat(std::optional<std::chrono::milliseconds> stallLimit);
  void postAdded(std::vector<std::shared_ptr<CameraItem>> items);

  MainQueue& mainQueue_;
  const std::string id_;
  const DeviceRoute route_;

  // Main thread only.
  DeviceDelegate* delegate_ = nullptr;
  CameraDeviceDelegate* cameraDelegate_ = nullptr;

  mutable std::mutex mutex_;
  std::optional<std::string> name_;                                // guarded by mutex_
  std::optional<std::vector<std::shared_ptr<CameraItem>>> items_;  // guarded by mutex_

  // Nanoseconds (steady clock) of the last addition posted and of the last
  // sign of listing progress.
  std::atomic<std::int64_t> lastAddition_{0};
  std::atomic<std::int64_t> lastProgress_{0};
  std::atomic<bool> catalogueFailed_{false};

  std::unique_ptr<WorkerThread> worker_;
  std::shared_ptr<Transfer> transfer_;
};

// A device whose files are of type `OwnFile`, copied by copyInto() on the
// worker; a file of another device fails at once.
template <typename OwnFile>
class ThreadedCameraDevice : public QueuedCameraDevice {
 public:
  void requestDownloadFile(const std::shared_ptr<CameraFile>& file, const DownloadOptions& options,
                           CameraDeviceDownloadDelegate* delegate, void* contextInfo) final {
    if (!std::dynamic_pointer_cast<OwnFile>(file)) {
      postDownloaded(delegate, file, DeviceError{"This file does not belong to the device."},
                     options, contextInfo);
      return;
    }
    requestDownload({file, options, delegate, contextInfo});
  }

 protected:
  using QueuedCameraDevice::QueuedCameraDevice;
  // On the worker: copies `file` into `out`; may stop early, with an error,
  // once `abandoned` is set (a copy read ahead that is no longer wanted).
  virtual std::optional<DeviceError> copyInto(const OwnFile& file, DurableFile& out,
                                              const std::atomic<bool>& abandoned) = 0;
  // On the worker: what the file offers towards its thumbnail.
  virtual ThumbnailSource thumbnailSourceOf(const OwnFile& file) = 0;

 private:
  std::optional<DeviceError> copy(const CameraFile& file, DurableFile& out,
                                  const std::atomic<bool>& abandoned) final {
    // Only files of this device reach the transfer.
    return copyInto(dynamic_cast<const OwnFile&>(file), out, abandoned);
  }
  ThumbnailSource readThumbnailSource(const CameraFile& file) final {
    const auto* own = dynamic_cast<const OwnFile*>(&file);
    return own ? thumbnailSourceOf(*own) : ThumbnailSource{};
  }
};

}  // namespace picferry
