#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gphoto2/gphoto2_camera.h"
#include "camera/gphoto2/gphoto2_context.h"
#include "camera/gphoto2/gphoto2_drivers.h"
#include "camera/gphoto2/gphoto2_file.h"
#include "camera/gphoto2/worker_thread.h"
#include "platform/main_queue.h"

namespace picferry {

// A camera found by the libgphoto2 browser. Every libgphoto2 call on it runs
// on its own worker thread; every delegate callback is posted to the main
// queue. Public methods are called on the main thread, except the
// destructor, which may run on any thread but the worker.
class Gphoto2Device final : public CameraDevice,
                            public std::enable_shared_from_this<Gphoto2Device> {
 public:
  Gphoto2Device(MainQueue& mainQueue, std::shared_ptr<Gphoto2Drivers> drivers,
                DetectedCamera detected);
  ~Gphoto2Device() override;

  const DetectedCamera& detected() const { return detected_; }
  // Posts didRemoveDevice to the device delegate.
  void reportRemoved();

  // Device
  void setDelegate(DeviceDelegate* delegate) override { delegate_ = delegate; }
  void requestOpenSession() override;
  // CameraDevice
  void setCameraDelegate(CameraDeviceDelegate* delegate) override { cameraDelegate_ = delegate; }
  std::optional<std::string> name() const override;
  std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const override;
  void requestDownloadFile(const std::shared_ptr<CameraFile>& file, const DownloadOptions& options,
                           CameraDeviceDownloadDelegate* downloadDelegate,
                           void* contextInfo) override;

  // While a listing runs, an addition reaches the main queue at least every
  // two heartbeats.
  static constexpr std::chrono::milliseconds kHeartbeat{250};

 private:
  // On the worker (gphoto2_session.cpp, gphoto2_catalogue.cpp, gphoto2_download.cpp).
  void openSession();
  void listCatalogue(const std::vector<std::string>& roots);
  void listFolderTree(const std::string& top);
  std::optional<DeviceError> download(const Gphoto2File& file, const DownloadOptions& options);

  // From any thread: post a callback to the main queue.
  void postOpened(std::optional<DeviceError> error);
  void postReady();
  void postAdded(std::vector<std::shared_ptr<CameraItem>> items);

  void setName(std::optional<std::string> name);

  MainQueue& mainQueue_;
  const std::shared_ptr<Gphoto2Drivers> drivers_;
  const DetectedCamera detected_;

  // Main thread only.
  DeviceDelegate* delegate_ = nullptr;
  CameraDeviceDelegate* cameraDelegate_ = nullptr;

  mutable std::mutex mutex_;
  std::optional<std::string> name_;                                // guarded by mutex_
  std::optional<std::vector<std::shared_ptr<CameraItem>>> items_;  // guarded by mutex_

  // Nanoseconds (steady clock) of the last addition posted.
  std::atomic<std::int64_t> lastAddition_{0};

  // Worker thread only (and the destructor, once the worker is gone).
  Gphoto2Context context_;
  std::unique_ptr<Gphoto2Camera> camera_;

  std::unique_ptr<WorkerThread> worker_;
};

}  // namespace picferry
