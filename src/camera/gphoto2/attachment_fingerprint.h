#pragma once

#include <string>

namespace picferry {

// A cheap summary of what libgphoto2's USB port driver looks at: the USB
// devices and interfaces the kernel lists (sysfs and /dev/bus/usb). When it
// is unchanged, so are the USB ports libgphoto2 lists.
std::string attachmentFingerprint();

}  // namespace picferry
