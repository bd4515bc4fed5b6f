// One download: the phone's file read over AFC into a file in the destination.

#include "camera/imobiledevice/afc_device.h"
#include "destination/durable_file.h"

namespace picferry {

std::optional<DeviceError> AfcDevice::copyInto(const AfcFile& file, DurableFile& out,
                                               const std::atomic<bool>& abandoned) {
  if (detached_.load() || (session_ && session_->connectionLost())) {
    return DeviceError{"The iPhone was disconnected before " + file.fileName() +
                           " could be copied.",
                       FailureCode::deviceDisconnected};
  }
  if (!session_) return DeviceError{"No session is open with the device."};
  return session_->read(file.path(), out, abandoned);
}

}  // namespace picferry
