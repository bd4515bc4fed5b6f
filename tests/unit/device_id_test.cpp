#include "camera/device_id.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "camera/mounted/file_system_uuid.h"
#include "camera/usb_sysfs.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

using testing::TempDir;

TEST(DeviceIdTest, ControlCharactersAndBrokenUtf8BecomeQuestionMarks) {
  const std::vector<std::pair<std::string, std::string>> rows{
      {"00008110-000A1B2C3D4E5F60", "00008110-000A1B2C3D4E5F60"},
      {"/media/zo\xC3\xAB/CARD", "/media/zo\xC3\xAB/CARD"},  // UTF-8 stays
      {"/mnt/a\nb\tc\x7F", "/mnt/a?b?c?"},
      {"/mnt/\xFF\xC3", "/mnt/??"},  // a stray byte, a cut sequence
  };
  for (const auto& [raw, id] : rows) EXPECT_EQ(printableDeviceId(raw), id) << raw;
}

// A USB device as the kernel lists it under /sys/bus/usb/devices.
void writeUsbEntry(const TempDir& sysfs, const std::string& port, int bus, int address,
                   const std::string& vendor, const std::optional<std::string>& serial) {
  const std::filesystem::path folder = sysfs.path / port;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "busnum") << bus << "\n";
  std::ofstream(folder / "devnum") << address << "\n";
  std::ofstream(folder / "idVendor") << vendor << "\n";
  if (serial) std::ofstream(folder / "serial") << *serial << "\n";
}

TEST(DeviceIdTest, UsbDevicesAreNamedBySerialElseByPort) {
  TempDir sysfs;
  writeUsbEntry(sysfs, "1-1", 1, 5, "05ac", "00008110000A1B2C3D4E5F60");  // a newer iPhone
  writeUsbEntry(sysfs, "1-2", 1, 6, "05ac", "0123456789abcdef0123456789abcdef01234567");
  writeUsbEntry(sysfs, "1-3.2", 1, 7, "04a9", "A1B2C3D4E5F6A7B8C9D0E1F2");  // a Canon
  writeUsbEntry(sysfs, "2-1", 2, 7, "18d1", std::nullopt);
  writeUsbEntry(sysfs, "2-2", 2, 8, "18d1", "");
  const std::vector<std::pair<std::string, std::string>> rows{
      {"usb:001,005", "00008110-000A1B2C3D4E5F60"},  // the UDID usbmuxd gives it
      {"usb:001,006", "0123456789abcdef0123456789abcdef01234567"},
      {"usb:001,007", "A1B2C3D4E5F6A7B8C9D0E1F2"},  // not Apple's: as it is
      {"usb:002,007", "usb:2-1"},
      {"usb:002,008", "usb:2-2"},
  };
  for (const auto& [port, id] : rows) {
    const auto device = usbDeviceOnPort(port, sysfs.path.string());
    ASSERT_TRUE(device) << port;
    EXPECT_EQ(usbDeviceId(*device), id) << port;
  }
  EXPECT_FALSE(usbDeviceOnPort("usb:003,001", sysfs.path.string()));
  EXPECT_FALSE(usbDeviceOnPort("disk:/media/card", sysfs.path.string()));
  EXPECT_EQ(usbDeviceOnPort("usb:001,007", sysfs.path.string())->vendor, 0x04a9u);
}

TEST(DeviceIdTest, FileSystemUuidComesFromTheLinkToItsBlockDevice) {
  struct stat loop {};
  if (stat("/dev/loop0", &loop) != 0 || !S_ISBLK(loop.st_mode)) GTEST_SKIP() << "no /dev/loop0";
  TempDir links;
  std::filesystem::create_directory_symlink("/dev", links / "not-a-block-device");
  std::filesystem::create_symlink("/dev/null", links / "0000-0000");
  std::filesystem::create_symlink("/dev/loop0", links / "1234-ABCD");
  EXPECT_EQ(fileSystemUuid("/dev/loop0", links.path.string()), "1234-ABCD");
  EXPECT_EQ(fileSystemUuid("picferry-tmpfs", links.path.string()), std::nullopt);
  EXPECT_EQ(fileSystemUuid("/dev/null", links.path.string()), std::nullopt);
}

}  // namespace
}  // namespace picferry
