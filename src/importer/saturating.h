#pragma once

#include <cstdint>
#include <limits>

namespace picferry {

// a + b, held at the 64-bit limit it would pass.
inline std::int64_t addSaturating(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

}  // namespace picferry
