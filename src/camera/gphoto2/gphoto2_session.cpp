// Opening a session: initialise the camera and find a usable storage.

#include <gphoto2/gphoto2-port-result.h>

#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {
namespace {

constexpr char kUnlockAndTrust[] =
    "If it is an iPhone, unlock it and tap Trust on its screen when it asks whether to trust "
    "this computer.";

// libgphoto2 could not claim the device: another program has it, on a
// desktop almost always the gphoto2 volume monitor, which takes every camera
// as it is plugged in. gphoto2's maintainers advise unmounting it.
constexpr char kHeldByAnotherProgram[] =
    "Another program is using the device, most likely the desktop's gphoto2 volume monitor "
    "(gvfs-gphoto2-volume-monitor). Free it with `gio mount -s gphoto2`, or stop the volume "
    "monitor, or close the program that opened the device.";

constexpr char kNoStorageYet[] =
    "The device shows no photos yet: it is locked or does not trust this computer. "
    "Unlock the iPhone and tap Trust on its screen, then keep it unlocked; on an Android "
    "phone choose \"File transfer\" in its USB notification and tap Allow.";

DeviceError refusal(const DeviceError& cause, int failure) {
  return {cause.description + " " +
          (failure == GP_ERROR_IO_USB_CLAIM ? kHeldByAnotherProgram : kUnlockAndTrust)};
}

}  // namespace

void Gphoto2Device::openSession() {
  if (listing_) {  // Already open and listed: the session stands.
    postOpened(std::nullopt);
    return;
  }
  for (;;) {
    const bool openedBefore = camera_ != nullptr;
    std::vector<std::string> roots;
    if (auto refused = usableStorages(&roots)) {
      postOpened(*refused);
      return;
    }
    if (camera_->viewReaches(roots)) {
      if (auto model = camera_->reportedModel()) setName(*model);
      listing_ = true;
      postOpened(std::nullopt);
      listStorages(roots);
      return;
    }
    if (!openedBefore) {
      // A fresh view: the events that complete it may still come.
      postOpened(DeviceError{kNoStorageYet});
      return;
    }
    // libgphoto2's view was built, or last rebuilt, before the storages now
    // shown (a phone unlocked since): opened again, it is built afresh.
    camera_.reset();
  }
}

std::optional<DeviceError> Gphoto2Device::usableStorages(std::vector<std::string>* roots) {
  if (!camera_) {
    DeviceError error;
    int failure = GP_OK;
    camera_ =
        Gphoto2Camera::open(*drivers_, detected_.model, detected_.port, context_, &error, &failure);
    if (!camera_) return refusal(error, failure);
  }
  if (auto failed = camera_->storageRoots(roots)) {
    camera_.reset();  // Closed, so that the next request starts afresh.
    return refusal(*failed, GP_OK);
  }
  // With no storage yet the session stays open: some phones allow one
  // session per plug, and show their storage in it once unlocked or allowed.
  if (roots->empty()) return DeviceError{kNoStorageYet};
  return std::nullopt;
}

}  // namespace picferry
