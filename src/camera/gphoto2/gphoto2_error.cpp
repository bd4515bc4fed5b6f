#include "camera/gphoto2/gphoto2_error.h"

#include <gphoto2/gphoto2-result.h>

namespace picferry {

DeviceError gphoto2Error(const std::string& what, int result, const std::string& messages) {
  std::string text = what + ": " + gp_result_as_string(result);
  if (!messages.empty()) text += " (" + messages + ")";
  return {text + "."};
}

}  // namespace picferry
