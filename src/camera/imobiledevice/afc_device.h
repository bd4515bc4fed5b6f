#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "camera/camera.h"
#include "camera/imobiledevice/afc_file.h"
#include "camera/imobiledevice/afc_session.h"
#include "camera/queued_camera_device.h"
#include "camera/worker_thread.h"
#include "platform/main_queue.h"

namespace picferry {

// A phone reached through usbmuxd, lockdownd and AFC. Every library call on
// it runs on its own worker thread; every delegate callback is posted to the
// main queue. Public methods are called on the main thread, except
// markDetached (any thread) and the destructor (any thread but the worker).
class AfcDevice final : public QueuedCameraDevice {
 public:
  AfcDevice(MainQueue& mainQueue, std::string udid);
  ~AfcDevice() override;

  const std::string& udid() const { return udid_; }
  // The phone was unplugged: downloads not yet started fail at once.
  void markDetached() { detached_.store(true); }

  // Device
  void requestOpenSession() override;
  // CameraDevice
  void requestDownloadFile(const std::shared_ptr<CameraFile>& file, const DownloadOptions& options,
                           CameraDeviceDownloadDelegate* downloadDelegate,
                           void* contextInfo) override;

 private:
  // On the worker (afc_device.cpp, afc_catalogue.cpp, afc_download.cpp).
  void openSession();
  void listCatalogue();
  std::optional<DeviceError> download(const AfcFile& file, const DownloadOptions& options);

  const std::string udid_;
  std::atomic<bool> detached_{false};

  // Worker thread only (and the destructor, once the worker is gone).
  std::unique_ptr<AfcSession> session_;

  std::unique_ptr<WorkerThread> worker_;
};

}  // namespace picferry
