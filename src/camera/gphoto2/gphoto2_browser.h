#pragma once

#include <memory>

#include "camera/camera.h"
#include "platform/main_queue.h"

namespace picferry {

// The device browser on libgphoto2: reports locally attached cameras (USB and
// mounted storage with a DCIM folder). Callbacks arrive on `mainQueue`.
std::unique_ptr<DeviceBrowser> makeGphoto2Browser(MainQueue& mainQueue);

}  // namespace picferry
