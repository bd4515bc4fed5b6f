#include "camera/imobiledevice/usbmuxd_presence.h"

#include <usbmuxd.h>

namespace picferry {

bool UsbmuxdPresence::probe() {
  usbmuxd_device_info_t* devices = nullptr;
  bool up = usbmuxd_get_device_list(&devices) >= 0;
  if (devices) usbmuxd_device_list_free(&devices);
  {
    std::lock_guard lock(mutex_);
    answers_ = up;
  }
  probed_.notify_all();
  return up;
}

bool UsbmuxdPresence::answers() {
  std::unique_lock lock(mutex_);
  probed_.wait_for(lock, kFirstProbeWait, [this] { return answers_.has_value(); });
  return answers_.value_or(false);
}

}  // namespace picferry
