#pragma once

#include <string>

namespace picferry {

// A failure reported by a device, or by the copy of its file to disk, with a
// sentence a person can read.
struct DeviceError {
  std::string description;
};

}  // namespace picferry
