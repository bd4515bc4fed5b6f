#pragma once

#include <functional>
#include <optional>

namespace picferry {

// One route per Apple device: a USB device of Apple's is reached through
// usbmuxd (and AFC) while the daemon answers, so libgphoto2 leaves it alone
// then. `usbmuxdAnswers` is asked only about Apple devices.
bool isReachedThroughUsbmuxd(std::optional<unsigned> usbVendor,
                             const std::function<bool()>& usbmuxdAnswers);

}  // namespace picferry
