#pragma once

#include <string>

namespace picferry {

// A cheap summary of what libgphoto2's port drivers look at: the USB devices
// and interfaces the kernel lists (sysfs and /dev/bus/usb) and the mount
// table. When it is unchanged, so is libgphoto2's port list.
std::string attachmentFingerprint();

}  // namespace picferry
