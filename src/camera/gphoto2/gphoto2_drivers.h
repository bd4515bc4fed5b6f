#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// libgphoto2's types, declared only: users of this header need no libgphoto2 header.
typedef struct _CameraAbilitiesList CameraAbilitiesList;
typedef struct _GPContext GPContext;
typedef struct _Camera Camera;

namespace picferry {

// A camera libgphoto2 finds: its driver's model name and its port path.
struct DetectedCamera {
  std::string model;
  std::string port;
  bool operator==(const DetectedCamera&) const = default;
};

// libgphoto2's list of camera models, loaded once (about 0.1 s) and shared by
// the browser and its devices. Thread-safe.
class Gphoto2Drivers {
 public:
  // Loads the model list under the global lock.
  static std::shared_ptr<Gphoto2Drivers> load();
  ~Gphoto2Drivers();
  Gphoto2Drivers(const Gphoto2Drivers&) = delete;
  Gphoto2Drivers& operator=(const Gphoto2Drivers&) = delete;

  // The cameras attached by USB now (`usb:` ports; mounted storage has a
  // backend of its own). Reloads the port list when it changed; takes the global
  // lock. Memory stays flat over any number of calls (see the .cpp). Call
  // from one thread at a time.
  std::vector<DetectedCamera> detect();

  // Gives `camera` the driver of `model`. The caller holds the global lock.
  int setAbilitiesLocked(const std::string& model, Camera* camera) const;

 private:
  Gphoto2Drivers() = default;
  void scanPorts();

  CameraAbilitiesList* list_ = nullptr;
  GPContext* context_ = nullptr;
  // The last port scan (all under the global lock).
  bool scanned_ = false;
  std::string fingerprint_;
  std::chrono::steady_clock::time_point changedAt_;
  std::vector<DetectedCamera> usbCameras_;
};

}  // namespace picferry
