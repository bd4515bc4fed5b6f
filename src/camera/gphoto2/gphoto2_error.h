#pragma once

#include <string>

#include "camera/camera.h"

namespace picferry {

// "<what>: <libgphoto2's text for result> (<context messages>)." The only way
// a libgphoto2 result code leaves this backend.
DeviceError gphoto2Error(const std::string& what, int result, const std::string& messages);

}  // namespace picferry
