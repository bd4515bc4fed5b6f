#pragma once

#include <string_view>

namespace picferry {

// The Orientation (0x0112) of IFD0 in a TIFF block (an EXIF segment after
// "Exif\0\0"): 1-8, or 1 when it holds none or cannot be read.
int exifOrientation(std::string_view tiff);

}  // namespace picferry
