#include "camera/stall_watchdog.h"

#include <gtest/gtest.h>

namespace picferry {
namespace {

using namespace std::chrono_literals;

TEST(StallWatchdog, FiresOnlyAfterTheLimitWithoutProgress) {
  StallWatchdog watchdog(30s);
  StallWatchdog::Clock::time_point t{};
  watchdog.reset(t);
  EXPECT_FALSE(watchdog.stalled(0, t + 1s));        // First sighting is progress.
  EXPECT_FALSE(watchdog.stalled(0, t + 30s));       // 29 s without progress.
  EXPECT_FALSE(watchdog.stalled(4096, t + 31s));    // Progress restarts the clock.
  EXPECT_FALSE(watchdog.stalled(4096, t + 60s));
  EXPECT_TRUE(watchdog.stalled(4096, t + 61s));
  watchdog.reset(t + 100s);                         // A new transfer starts afresh.
  EXPECT_FALSE(watchdog.stalled(4096, t + 101s));
  EXPECT_TRUE(watchdog.stalled(4096, t + 131s));
}

// A shrinking or stuck source reports the same size for ever: only the
// clock, not the number of polls, decides.
TEST(StallWatchdog, ManyPollsWithinTheLimitNeverFire) {
  StallWatchdog watchdog(30s);
  StallWatchdog::Clock::time_point t{};
  watchdog.reset(t);
  for (int i = 0; i < 100000; ++i) {
    ASSERT_FALSE(watchdog.stalled(10, t + std::chrono::microseconds(i)));
  }
}

}  // namespace
}  // namespace picferry
