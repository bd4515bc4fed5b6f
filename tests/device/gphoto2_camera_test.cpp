// A libgphoto2 camera opened in this process on a device of the USB emulator
// (tests/device/usb): the ctest entry puts the stand-in libusb first on
// LD_LIBRARY_PATH, so that Debian's usb1 and ptp2 drivers talk to it.

#include "camera/gphoto2/gphoto2_camera.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "camera/gphoto2/left_out_names.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

using testing::TempDir;

// libgphoto2 lists a folder the first time a call names it, a download
// included, and its ptp2 driver then logs each object it leaves out of the
// list. Any log function still registered hears those lines; worse, while one
// is, every piece read from the device is formatted as a hexdump.
TEST(Gphoto2CameraTest, OnlyAListingHearsWhatLibgphoto2Logs) {
  TempDir home;
  TempDir emulator;
  std::ofstream(emulator / "other.JPG") << "another object of the same name";
  std::ofstream(emulator / "1-2.conf")
      << "bus 1\naddress 2\nvendor 04a9\nproduct 32ff\nprofile camera\n"
      << "generated 300000 1600000000 DCIM/100CANON/A.JPG\n"
      << "duplicate \"" << (emulator / "other.JPG") << "\" DCIM/100CANON/A.JPG\n"
      << "generated 4000 1600000000 DCIM/101CANON/B.JPG\n"
      << "duplicate \"" << (emulator / "other.JPG") << "\" DCIM/101CANON/B.JPG\n";
  setenv("HOME", home.path.c_str(), 1);
  setenv("PICFERRY_USB_EMULATOR", emulator.path.c_str(), 1);

  auto drivers = Gphoto2Drivers::load();
  std::vector<DetectedCamera> found = drivers->detect();
  ASSERT_EQ(found.size(), 1u) << "is the stand-in libusb first on LD_LIBRARY_PATH?";
  Gphoto2Context context;
  DeviceError error;
  int failure = 0;
  auto camera =
      Gphoto2Camera::open(*drivers, found[0].model, found[0].port, context, &error, &failure);
  ASSERT_TRUE(camera) << error.description;
  std::vector<std::string> roots;
  ASSERT_FALSE(camera->storageRoots(&roots));
  ASSERT_EQ(roots.size(), 1u);

  {
    LeftOutNames heard;
    TempDir dest;
    int fd = open(dest.path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::atomic<bool> abandoned{false};
    auto failed = camera->download(roots[0] + "/DCIM/100CANON", "A.JPG", fd, abandoned);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 300000);
    close(fd);
    EXPECT_FALSE(failed) << failed->description;
    EXPECT_EQ(heard.names(), std::vector<std::string>{})
        << "a log function was registered while a file was copied";
  }

  std::vector<std::string> names;
  std::vector<std::string> leftOut;
  ASSERT_FALSE(camera->listFiles(roots[0] + "/DCIM/101CANON", &names, &leftOut));
  EXPECT_EQ(names, std::vector<std::string>{"B.JPG"});
  EXPECT_EQ(leftOut, std::vector<std::string>{"B.JPG"});
}

}  // namespace
}  // namespace picferry
