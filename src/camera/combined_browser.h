#pragma once

#include <memory>

#include "camera/camera.h"
#include "platform/main_queue.h"

namespace picferry {

// The device browser the program uses: phones through usbmuxd and AFC while
// the usbmuxd daemon answers, every other USB camera (and every phone, when
// it does not) through libgphoto2, and mounted storage with a DCIM folder
// read directly. An Apple USB device is reported through one route only
// (isReachedThroughUsbmuxd). Only the devices `filter` takes are reported;
// the others are never opened, claimed or read. The first look is done once
// each of the three ways has had its own.
// Callbacks arrive on `mainQueue`, naming this browser.
std::unique_ptr<DeviceBrowser> makeCombinedBrowser(MainQueue& mainQueue, DeviceFilter filter = {});

}  // namespace picferry
