#pragma once

#include <functional>
#include <memory>
#include <string>

#include "camera/camera.h"
#include "platform/main_queue.h"

namespace picferry {

// The device browser on libgphoto2: reports cameras and phones attached by
// USB that `filter` takes; its detection lists devices without opening any.
// Callbacks arrive on `mainQueue`. `skipPort`, if given, is asked on the
// browser's thread about each camera's port ("usb:001,004") at every poll: a
// camera it skips counts as absent (reported removed if it was shown).
std::unique_ptr<DeviceBrowser> makeGphoto2Browser(
    MainQueue& mainQueue, DeviceFilter filter = {},
    std::function<bool(const std::string& port)> skipPort = {});

}  // namespace picferry
