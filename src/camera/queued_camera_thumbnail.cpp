#include "camera/queued_camera_device.h"

namespace picferry {

void QueuedCameraDevice::requestThumbnailSource(const std::shared_ptr<CameraFile>& file,
                                                CameraDeviceThumbnailDelegate* delegate) {
  worker_->submit([this, weak = weak_from_this(), file, delegate] {
    auto source = readThumbnailSource(*file);
    mainQueue_.post([weak, file, delegate, source = std::move(source)]() mutable {
      if (weak.lock()) delegate->didReadThumbnailSource(file, std::move(source));
    });
  });
}

}  // namespace picferry
