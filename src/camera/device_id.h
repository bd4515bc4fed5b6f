#pragma once

#include <string>
#include <string_view>

namespace picferry {

// `raw` as a device id, which events print and a command line gives back:
// each control character and each byte that is not part of well-formed
// UTF-8 becomes '?'.
std::string printableDeviceId(std::string_view raw);

}  // namespace picferry
