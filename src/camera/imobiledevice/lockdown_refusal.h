#pragma once

#include <libimobiledevice/lockdown.h>

#include "camera/camera.h"

namespace picferry {

// Why the phone refused a session, as a sentence that tells the person what
// to do about it.
DeviceError lockdownRefusal(lockdownd_error_t error);

}  // namespace picferry
