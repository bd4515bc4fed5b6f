#pragma once

#include <memory>

#include "camera/camera.h"
#include "camera/imobiledevice/usbmuxd_presence.h"
#include "platform/main_queue.h"

namespace picferry {

// The device browser on usbmuxd: reports each phone attached by USB that
// `filter` takes once, from the daemon's attach and detach events, as a
// camera reached through AFC, named as the phone names itself before it
// trusts the computer; a phone left out is never connected to. Probes the
// daemon about once a second (recorded in `presence`) and subscribes to its
// events once it answers. Callbacks arrive on `mainQueue`.
std::unique_ptr<DeviceBrowser> makeUsbmuxdBrowser(MainQueue& mainQueue,
                                                  std::shared_ptr<UsbmuxdPresence> presence,
                                                  DeviceFilter filter = {});

}  // namespace picferry
