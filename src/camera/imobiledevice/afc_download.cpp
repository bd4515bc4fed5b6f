// One download: the phone's file read over AFC into a durable file in the
// destination, checked, dated, and named without replacing anything.

#include "camera/durable_file.h"
#include "camera/imobiledevice/afc_device.h"

namespace picferry {

std::optional<DeviceError> AfcDevice::download(const AfcFile& file,
                                               const DownloadOptions& options) {
  if (detached_.load() || (session_ && session_->connectionLost())) {
    return DeviceError{"The iPhone was disconnected before " + file.fileName() +
                       " could be copied."};
  }
  if (!session_) return DeviceError{"No session is open with the device."};
  DeviceError error;
  auto out = DurableFile::create(options.downloadsDirectory, options.saveAsFilename, &error);
  if (!out) return error;
  if (auto failed = session_->read(file.path(), *out)) return failed;
  return out->commit(file.fileSize(), file.modificationDate());
}

}  // namespace picferry
