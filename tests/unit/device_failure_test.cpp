// The kind libgphoto2's result codes stand for, as the backend tells them.

#include <gphoto2/gphoto2-result.h>
#include <gtest/gtest.h>

#include "camera/gphoto2/gphoto2_error.h"

namespace picferry {
namespace {

TEST(DeviceFailureTest, Gphoto2ResultsByKind) {
  for (const auto& [result, code] : std::vector<std::pair<int, FailureCode>>{
           {GP_ERROR_FILE_NOT_FOUND, FailureCode::notOnDevice},
           {GP_ERROR_DIRECTORY_NOT_FOUND, FailureCode::notOnDevice},
           {GP_ERROR_IO_USB_FIND, FailureCode::deviceDisconnected},
           {GP_ERROR_NOT_SUPPORTED, FailureCode::deviceRefused},
           {GP_ERROR_IO, FailureCode::deviceReadFailed},
           {GP_ERROR_TIMEOUT, FailureCode::deviceReadFailed}}) {
    const auto error = gphoto2Error("Could not copy /store_00010001/DCIM/A.JPG", result, "");
    EXPECT_EQ(error.code, code) << result;
    EXPECT_EQ(error.description.rfind("Could not copy /store_00010001/DCIM/A.JPG: ", 0), 0u);
  }
}

}  // namespace
}  // namespace picferry
