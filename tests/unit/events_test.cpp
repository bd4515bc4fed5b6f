#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "events/events.h"
#include "platform/simulated_platform.h"

namespace picferry {
namespace {

std::string written(const Event& event) {
  SimulatedPlatform sim;
  EventStream(sim).emit(event);
  return sim.output();
}

TEST(EventsTest, CompactJsonOnExactlyOneLine) {
  EXPECT_EQ(written({{"type", std::string("done")},
                     {"downloaded", std::int64_t{3}},
                     {"skipped", std::int64_t{-1}},
                     {"dest", std::string("/data/photos")}}),
            R"({"type":"done","downloaded":3,"skipped":-1,"dest":"\/data\/photos"})"
            "\n");
  EXPECT_EQ(written({{"n", std::numeric_limits<std::int64_t>::min()}}),
            "{\"n\":-9223372036854775808}\n");
}

TEST(EventsTest, QuotesBackslashesAndControlCharactersAreEscaped) {
  const std::string line = written({{"message", std::string("a \"b\"\\\n\r\t\b\f\x01\x1f")}});
  EXPECT_EQ(line, R"({"message":"a \"b\"\\\n\r\t\b\f\u0001\u001f"})"
                  "\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(EventsTest, NonAsciiIsRawUtf8AndParsesBack) {
  const std::string name = "Zoë’s iPhone 📷";
  const std::string line = written({{"device", name}});
  EXPECT_EQ(line, "{\"device\":\"" + name + "\"}\n");
  EXPECT_EQ(nlohmann::json::parse(line).at("device"), name);
}

TEST(EventsTest, InvalidUtf8BecomesReplacementCharacterInsteadOfVanishing) {
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"a\xFF" "b", "a" + replacement + "b"},
      {"\xC3", replacement},                      // truncated sequence
      {"\xC0\xAF", replacement + replacement},    // overlong "/"
      {"\xED\xA0\x80", replacement + replacement + replacement},  // surrogate
      {"\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},
      {"\xF0\x8F\xBF\xBF", replacement + replacement + replacement + replacement},  // overlong U+FFFF
      {"\xE0\x9F\xBF", replacement + replacement + replacement},  // overlong U+07FF
  };
  for (const auto& [raw, expected] : cases) {
    const std::string line = written({{"name", raw}});
    EXPECT_EQ(line, "{\"name\":\"" + expected + "\"}\n") << ::testing::PrintToString(raw);
    EXPECT_NO_THROW(nlohmann::json::parse(line));
  }
}

TEST(EventsTest, EmitErrorWritesTheThreeKeys) {
  SimulatedPlatform sim;
  EventStream(sim).emitError("bad_args", "missing --dest");
  EXPECT_EQ(sim.output(), R"({"type":"error","code":"bad_args","message":"missing --dest"})"
                          "\n");
}

}  // namespace
}  // namespace picferry
