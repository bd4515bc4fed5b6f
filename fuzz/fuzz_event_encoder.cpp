// The event encoder on arbitrary keys and values (strings of any bytes,
// 64-bit integers). Checked: the output is one line (no raw CR or LF), every
// "/" is written "\/", it parses back with nlohmann::json (strict) to an
// object holding the same keys and values, strings compared after each byte
// that does not start a well-formed UTF-8 sequence is replaced by U+FFFD
// (computed here independently), and it is byte for byte the compact JSON
// nlohmann::json writes for those values, with "/" escaped.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "events/events.h"

namespace {

using picferry::Event;
using picferry::EventValue;

[[noreturn]] void fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "check failed: %s\noutput: %s\n", what, output.c_str());
  std::abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) fail(#condition, output); \
  } while (false)

// `s` with every byte that does not begin a well-formed UTF-8 sequence (by
// decoding: no overlong form, no surrogate, nothing past U+10FFFF) replaced
// by U+FFFD, one replacement per byte.
std::string replaceInvalidUtf8(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 0x6 ? 2 : lead >> 4 == 0xE ? 3 : lead >> 3 == 0x1E ? 4 : 0;
    if (length > 1) {
      std::uint32_t codePoint = lead & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
          length = 0;
          break;
        }
        codePoint = codePoint << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      }
      constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
      if (length != 0 && (codePoint < kShortest[length] || codePoint > 0x10FFFF ||
                          (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
        length = 0;
      }
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, length));
      i += length;
    }
  }
  return out;
}

// Whether every "/" in the JSON text stands in a "\/" escape.
bool slashesEscaped(const std::string& json) {
  for (std::size_t i = 0; i < json.size(); ++i) {
    if (json[i] == '\\') {
      ++i;  // the escaped character; \uXXXX digits hold no "/"
    } else if (json[i] == '/') {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Event event;
  // The same pairs with strings as they must read back; keys distinct after
  // replacement, so the parsed object has one member per pair.
  nlohmann::ordered_json expected = nlohmann::ordered_json::object();
  const int pairs = provider.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < pairs && provider.remaining_bytes() > 0; ++i) {
    std::string key = provider.ConsumeRandomLengthString(64);
    const std::string readKey = replaceInvalidUtf8(key);
    EventValue value;
    nlohmann::ordered_json readValue;
    if (provider.ConsumeBool()) {
      std::string text = provider.ConsumeRandomLengthString(64);
      readValue = replaceInvalidUtf8(text);
      value = std::move(text);
    } else {
      const auto number = provider.ConsumeIntegral<std::int64_t>();
      readValue = number;
      value = number;
    }
    if (expected.contains(readKey)) continue;
    expected[readKey] = readValue;
    event.emplace_back(std::move(key), std::move(value));
  }

  const std::string output = picferry::encodeEvent(event);
  CHECK(output.find('\n') == std::string::npos);
  CHECK(output.find('\r') == std::string::npos);
  CHECK(slashesEscaped(output));

  const auto parsed = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
  CHECK(parsed.is_object());
  CHECK(parsed.size() == event.size());
  for (const auto& [key, value] : expected.items()) {
    const auto member = parsed.find(key);
    CHECK(member != parsed.end());
    if (value.is_string()) {
      CHECK(member->is_string() && member->get<std::string>() == value.get<std::string>());
    } else {
      CHECK(member->is_number_integer() && member->get<std::int64_t>() == value.get<std::int64_t>());
    }
  }

  // Compact, with the usual short escapes: what nlohmann::json writes, "/" aside.
  std::string compact;
  for (const char c : expected.dump()) {
    if (c == '/') compact += '\\';
    compact += c;
  }
  CHECK(output == compact);
  return 0;
}
