#include "camera/device_route.h"

#include <gtest/gtest.h>

#include "camera/usb_sysfs.h"

namespace picferry {
namespace {

TEST(DeviceRouteTest, AppleDevicesGoThroughUsbmuxdOnlyWhileItAnswers) {
  int asked = 0;
  const auto answers = [&](bool up) {
    return [&asked, up] {
      ++asked;
      return up;
    };
  };
  EXPECT_TRUE(isReachedThroughUsbmuxd(kAppleUsbVendor, answers(true)));
  EXPECT_FALSE(isReachedThroughUsbmuxd(kAppleUsbVendor, answers(false)));
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(isReachedThroughUsbmuxd(0x04a9, answers(true))) << "a Canon camera";
  EXPECT_FALSE(isReachedThroughUsbmuxd(std::nullopt, answers(true))) << "vendor unknown";
  EXPECT_EQ(asked, 2) << "usbmuxd is asked about Apple devices only";
}

}  // namespace
}  // namespace picferry
