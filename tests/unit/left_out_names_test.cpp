// The files libgphoto2 leaves out of a listing, read from its own log lines.

#include "camera/gphoto2/left_out_names.h"

#include <gphoto2/gphoto2-port-log.h>
#include <gtest/gtest.h>

namespace picferry {
namespace {

void logLeftOut(const char* name) {
  gp_log(GP_LOG_ERROR, "file_list_func [library.c:7983]",
         "Duplicate filename '%s' in folder '/store_00010001/DCIM'. Ignoring nth entry.\n", name);
}

TEST(LeftOutNamesTest, CountsEachObjectOnceOverPtp2sTwoScans) {
  LeftOutNames::listen();
  LeftOutNames watch;
  // First scan: A twice more, B once more; the second scan logs the same.
  for (int scan = 0; scan < 2; ++scan) {
    logLeftOut("A.JPG");
    logLeftOut("A.JPG");
    logLeftOut("it's B.AAE");
    gp_log(GP_LOG_ERROR, "ptp2", "PTP I/O error");
  }
  EXPECT_EQ(watch.names(), (std::vector<std::string>{"A.JPG", "A.JPG", "it's B.AAE"}));
}

TEST(LeftOutNamesTest, OneScanNeverCountsTooManyAndNothingOutsideAWatch) {
  LeftOutNames::listen();
  logLeftOut("before.JPG");
  LeftOutNames watch;
  logLeftOut("C.JPG");
  EXPECT_EQ(watch.names(), std::vector<std::string>{"C.JPG"});
}

}  // namespace
}  // namespace picferry
