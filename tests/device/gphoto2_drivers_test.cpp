// libgphoto2's drivers on this machine, with no USB device attached.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "camera/gphoto2/gphoto2_drivers.h"

namespace picferry {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// Each port scan with no USB device present leaked ~150 KB inside libgphoto2.
TEST(Gphoto2DriversTest, DetectionMemoryStaysFlat) {
  if (kSanitized) GTEST_SKIP() << "resident memory is not meaningful under sanitizers";
  auto drivers = Gphoto2Drivers::load();
  for (int i = 0; i < 20; ++i) drivers->detect();
  const long before = residentKb();
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(drivers->detect().empty());
  EXPECT_LT(residentKb() - before, 2048) << "kB grown over 300 scans";
}

}  // namespace
}  // namespace picferry
