#pragma once

#include <cstddef>
#include <string_view>

namespace picferry {

// Length of the well-formed UTF-8 sequence starting at s[i] (1 for ASCII),
// or 0 if none starts there.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);

}  // namespace picferry
