#include "events/events.h"

#include <cstdio>

#include "events/utf8.h"

namespace picferry {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

void appendString(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8SequenceLength(s, i);
      if (length == 0) {
        out += kReplacementCharacter;
        ++i;
      } else {
        out.append(s.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[7];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

}  // namespace

std::string encodeEvent(const Event& event) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : event) {
    if (!first) out += ',';
    first = false;
    appendString(out, key);
    out += ':';
    if (const auto* text = std::get_if<std::string>(&value)) {
      appendString(out, *text);
    } else if (const auto* flag = std::get_if<bool>(&value)) {
      out += *flag ? "true" : "false";
    } else {
      out += std::to_string(std::get<std::int64_t>(value));
    }
  }
  out += '}';
  return out;
}

void EventStream::emit(const Event& event) { output_.writeLine(encodeEvent(event)); }

void EventStream::emitError(std::string_view code, std::string_view message) {
  emit({{"type", std::string("error")},
        {"code", std::string(code)},
        {"message", std::string(message)}});
}

}  // namespace picferry
