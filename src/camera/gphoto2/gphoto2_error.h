#pragma once

#include <string>

#include "camera/camera.h"

namespace picferry {

// "<what>: <libgphoto2's text for result> (<context messages>)." The only way
// a libgphoto2 result code leaves this backend.
// With the kind of failure `result` stands for: a file or folder the device
// does not hold, a device gone, a driver that refuses; else a failed read.
DeviceError gphoto2Error(const std::string& what, int result, const std::string& messages);

}  // namespace picferry
