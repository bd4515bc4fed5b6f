#include "camera/gphoto2/gphoto2_error.h"

#include <gphoto2/gphoto2-result.h>

namespace picferry {

FailureCode gphoto2FailureCode(int result) {
  switch (result) {
    case GP_ERROR_FILE_NOT_FOUND:
    case GP_ERROR_DIRECTORY_NOT_FOUND:
      return FailureCode::notOnDevice;
    case GP_ERROR_IO_USB_FIND:  // libusb's "no device": unplugged
      return FailureCode::deviceDisconnected;
    case GP_ERROR_NOT_SUPPORTED:
      return FailureCode::deviceRefused;
    default:
      return FailureCode::deviceReadFailed;
  }
}

DeviceError gphoto2Error(const std::string& what, int result, const std::string& messages) {
  std::string text = what + ": " + gp_result_as_string(result);
  if (!messages.empty()) text += " (" + messages + ")";
  return {text + ".", gphoto2FailureCode(result)};
}

}  // namespace picferry
