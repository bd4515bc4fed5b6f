#include "thumbnails/exif_orientation.h"

#include "thumbnails/byte_cursor.h"

namespace picferry {

int exifOrientation(std::string_view tiff) {
  const auto order = tiff.substr(0, 2);
  if (order != "II" && order != "MM") return 1;
  ByteCursor cursor(tiff, order == "MM");
  cursor.skip(2);
  if (cursor.u16() != 42) return 1;
  cursor.seek(cursor.u32());
  const unsigned entries = cursor.u16();
  for (unsigned i = 0; i < entries && cursor.ok(); ++i) {
    const auto tag = cursor.u16();
    const auto type = cursor.u16();
    cursor.skip(4);  // count
    const auto value = cursor.u16();
    cursor.skip(2);
    constexpr std::uint16_t kOrientation = 0x0112, kShort = 3;
    if (cursor.ok() && tag == kOrientation && type == kShort) {
      return value >= 1 && value <= 8 ? value : 1;
    }
  }
  return 1;
}

}  // namespace picferry
