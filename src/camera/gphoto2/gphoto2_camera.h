#pragma once

#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-port-info-list.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gphoto2/gphoto2_context.h"
#include "camera/gphoto2/gphoto2_drivers.h"

namespace picferry {

// What is known of one file on the camera.
struct CameraFileStat {
  std::int64_t size = -1;  // negative: unknown
  std::optional<std::int64_t> mtime;
};

// An initialised libgphoto2 camera. Not re-entrant: use from one thread (the
// device's worker) only. Destruction exits the camera under the global lock;
// every other call holds gphoto2CameraCalls() shared (gphoto2_lock.h).
class Gphoto2Camera {
 public:
  // Initialises `model` on `port` under the global lock. Returns nullptr
  // and sets `*error` and libgphoto2's result code `*failure` on failure.
  static std::unique_ptr<Gphoto2Camera> open(const Gphoto2Drivers& drivers,
                                             const std::string& model,
                                             const std::string& port, Gphoto2Context& context,
                                             DeviceError* error, int* failure);
  ~Gphoto2Camera();
  Gphoto2Camera(const Gphoto2Camera&) = delete;
  Gphoto2Camera& operator=(const Gphoto2Camera&) = delete;

  // The base folder of every usable storage the device shows now. A
  // placeholder storage (an iPhone that is locked or does not trust the
  // computer) is not usable. When none is usable, the device's events are
  // taken and the storages read again: for up to a second on the first call
  // (a fresh session of an iPhone shows the placeholder for a moment), for a
  // tenth of a second after.
  std::optional<DeviceError> storageRoots(std::vector<std::string>* roots);
  // Whether libgphoto2's own view of the storages, through which the
  // catalogue is read, reaches every root. libgphoto2 builds that view when
  // the camera opens and rebuilds it only on the device's storage events,
  // which may come before the storage changes, after it or never: when it
  // does not reach them, the events the device has sent are taken first.
  bool viewReaches(const std::vector<std::string>& roots);
  // The model the device reports about itself (PTP devices), if any.
  std::optional<std::string> reportedModel();

  std::optional<DeviceError> listFolders(const std::string& folder,
                                         std::vector<std::string>* names);
  // `leftOut` receives, once per object, the names of files libgphoto2 does
  // not list because an earlier file of the folder has the same name.
  std::optional<DeviceError> listFiles(const std::string& folder, std::vector<std::string>* names,
                                       std::vector<std::string>* leftOut);
  CameraFileStat stat(const std::string& folder, const std::string& name);

  // The device's own thumbnail of the file (PTP GetThumb), if it has one,
  // and `length` bytes of the file at `offset` (gphoto2_thumbnail.cpp).
  std::optional<std::string> preview(const std::string& folder, const std::string& name);
  std::optional<std::string> readAt(const std::string& folder, const std::string& name,
                                    std::uint64_t offset, std::size_t length);

  // Streams the file into the file behind `fd` (which stays open and owned
  // by the caller). A source that stops sending is ended by the context's
  // stall watchdog, one no longer wanted once `abandoned` is set.
  // libgphoto2 may report success with a short file: the caller checks the
  // size.
  std::optional<DeviceError> download(const std::string& folder, const std::string& name, int fd,
                                      const std::atomic<bool>& abandoned);

 private:
  Gphoto2Camera(Camera* camera, GPPortInfoList* ports, Gphoto2Context& context);
  std::optional<DeviceError> readStorageRoots(std::vector<std::string>* roots);
  // Whether libgphoto2's root folder names the top folder of every root.
  bool rootFolderNames(const std::vector<std::string>& roots);
  // Lets libgphoto2 handle the events the device sends within `wait`, and
  // those that follow them without a pause. On a storage event it reads the
  // storages again and forgets what it had listed (camlibs/ptp2).
  void takeEvents(std::chrono::milliseconds wait);
  // Copies the file into `fd` from its start with libgphoto2's partial reads.
  int readInPieces(const std::string& folder, const std::string& name, int fd);

  Camera* camera_;
  GPPortInfoList* ports_;
  Gphoto2Context& context_;
  bool storagesRead_ = false;
};

}  // namespace picferry
