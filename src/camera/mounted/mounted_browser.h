#pragma once

#include <memory>

#include "camera/camera.h"
#include "platform/main_queue.h"

namespace picferry {

// The device browser for mounted storage: about once a second, every mounted
// file system with a DCIM folder at its root (the rule libgphoto2 and camera
// makers follow) is a camera, reported once while it stays mounted and
// removed when it is unmounted; those `filter` leaves out are never read
// (their ids may take a look at the superblock). Callbacks arrive on
// `mainQueue`.
std::unique_ptr<DeviceBrowser> makeMountedBrowser(MainQueue& mainQueue, DeviceFilter filter = {});

}  // namespace picferry
