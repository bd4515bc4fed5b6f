// One download: the camera's file streamed into a durable file in the
// destination, checked, dated, and named without replacing anything.

#include "camera/durable_file.h"
#include "camera/gphoto2/gphoto2_device.h"

namespace picferry {

std::optional<DeviceError> Gphoto2Device::download(const Gphoto2File& file,
                                                   const DownloadOptions& options) {
  if (!camera_) return DeviceError{"No session is open with the device."};
  DeviceError error;
  auto out = DurableFile::create(options.downloadsDirectory, options.saveAsFilename, &error);
  if (!out) return error;
  if (auto failed = camera_->download(file.folder(), file.fileName(), out->fd())) return failed;
  return out->commit(file.knownSize(), file.modificationDate());
}

}  // namespace picferry
