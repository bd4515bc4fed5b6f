#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/services.h"

namespace picferry {

// A flat event: "type" and the other keys, each with a string, integer or
// Boolean value.
using EventValue = std::variant<std::string, std::int64_t, bool>;
using Event = std::vector<std::pair<std::string, EventValue>>;

// Compact JSON of one event: "/" written as "\/", control characters escaped,
// non-ASCII as raw UTF-8, invalid UTF-8 bytes as U+FFFD, integers in decimal,
// Booleans as true and false.
std::string encodeEvent(const Event& event);

// The one writer of standard output.
class EventStream {
 public:
  explicit EventStream(LineOutput& output) : output_(output) {}

  // Writes the event as one line. Safe from any thread.
  void emit(const Event& event);
  // Writes {"type":"error","code":code,"message":message}; the caller exits.
  void emitError(std::string_view code, std::string_view message);

 private:
  LineOutput& output_;
};

}  // namespace picferry
