// One download: the camera's file streamed into a file in the destination.

#include "camera/gphoto2/gphoto2_device.h"
#include "destination/durable_file.h"
#include "platform/paths.h"

namespace picferry {

std::optional<DeviceError> Gphoto2Device::copyInto(const Gphoto2File& file, DurableFile& out,
                                                   const std::atomic<bool>& abandoned) {
  if (!camera_) return DeviceError{"No session is open with the device."};
  if (file.shadowed()) {
    return DeviceError{joinPath(file.folder(), file.fileName()) +
                           " shares its name with another file of that folder, and only that "
                           "other file can be reached through libgphoto2; this one was not "
                           "copied.",
                       FailureCode::deviceRefused};
  }
  return camera_->download(file.folder(), file.fileName(), out.fd(), abandoned);
}

}  // namespace picferry
