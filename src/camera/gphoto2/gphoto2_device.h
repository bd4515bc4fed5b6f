#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gphoto2/gphoto2_camera.h"
#include "camera/gphoto2/gphoto2_context.h"
#include "camera/gphoto2/gphoto2_drivers.h"
#include "camera/gphoto2/gphoto2_file.h"
#include "camera/queued_camera_device.h"
#include "platform/main_queue.h"

namespace picferry {

// A camera found by the libgphoto2 browser. Every libgphoto2 call on it runs
// on its worker thread. The destructor may run on any thread but the worker.
class Gphoto2Device final : public ThreadedCameraDevice<Gphoto2File> {
 public:
  Gphoto2Device(MainQueue& mainQueue, std::shared_ptr<Gphoto2Drivers> drivers,
                DetectedCamera detected, std::string id);
  ~Gphoto2Device() override;

  const DetectedCamera& detected() const { return detected_; }

 private:
  // On the worker (gphoto2_session.cpp, gphoto2_catalogue.cpp, gphoto2_download.cpp).
  void openSession() override;
  // Opens the camera unless it is open and reads the storages it shows; a
  // refusal when it cannot or shows none usable.
  std::optional<DeviceError> usableStorages(std::vector<std::string>* roots);
  void listStorages(const std::vector<std::string>& roots);
  std::optional<DeviceError> listFolder(const std::string& folder, FolderContents* out);
  std::optional<DeviceError> copyInto(const Gphoto2File& file, DurableFile& out,
                                      const std::atomic<bool>& abandoned) override;
  ThumbnailSource thumbnailSourceOf(const Gphoto2File& file) override;  // gphoto2_thumbnail.cpp

  const std::shared_ptr<Gphoto2Drivers> drivers_;
  const DetectedCamera detected_;

  // Worker thread only (and the destructor, once the worker is gone).
  Gphoto2Context context_;
  std::unique_ptr<Gphoto2Camera> camera_;
  bool listing_ = false;  // the session showed a storage and its catalogue is listed
};

}  // namespace picferry
