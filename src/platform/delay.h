#pragma once

#include <chrono>
#include <cmath>

namespace picferry::os {

// `seconds` as a monotonic-clock duration, rounded up so work never runs
// early. Negative or NaN means no delay; very long delays are capped (about
// 30 years) rather than overflowing the clock's representation.
inline std::chrono::steady_clock::duration delayFromSeconds(double seconds) {
  constexpr double kLongest = 1e9;
  if (!(seconds > 0)) return {};
  const std::chrono::duration<double> delay(std::fmin(seconds, kLongest));
  return std::chrono::ceil<std::chrono::steady_clock::duration>(delay);
}

}  // namespace picferry::os
