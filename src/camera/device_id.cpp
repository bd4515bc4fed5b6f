#include "camera/device_id.h"

#include "events/utf8.h"

namespace picferry {

std::string printableDeviceId(std::string_view raw) {
  std::string id;
  for (std::size_t i = 0; i < raw.size();) {
    const auto byte = static_cast<unsigned char>(raw[i]);
    const std::size_t length = utf8SequenceLength(raw, i);
    if (length == 0 || byte < 0x20 || byte == 0x7F) {
      id += '?';
      ++i;
    } else {
      id.append(raw.substr(i, length));
      i += length;
    }
  }
  return id;
}

}  // namespace picferry
