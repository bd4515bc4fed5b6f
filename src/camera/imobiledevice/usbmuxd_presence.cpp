#include "camera/imobiledevice/usbmuxd_presence.h"

#include <usbmuxd.h>

namespace picferry {

bool UsbmuxdPresence::probe(std::vector<std::uint32_t>* usbDevices) {
  usbmuxd_device_info_t* devices = nullptr;
  const int count = usbmuxd_get_device_list(&devices);
  const bool up = count >= 0;
  for (int i = 0; usbDevices && i < count; ++i) {
    if (devices[i].conn_type == CONNECTION_TYPE_USB) usbDevices->push_back(devices[i].handle);
  }
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
