#include <gtest/gtest.h>

#include "app/command_line.h"
#include "platform/simulated_platform.h"

namespace picferry {
namespace {

struct Row {
  std::vector<std::string> args;  // after the program path
  std::variant<Importer::Mode, UsageError> expected;
};

const UsageError kUsage{"bad_command", "usage: picferry detect|import --dest <dir>|session"};
const UsageError kMissingDest{"bad_args", "missing --dest"};

void expectOutcome(const Row& row) {
  SimulatedPlatform sim;  // working directory /work
  std::vector<std::string> args{"/usr/bin/picferry"};
  args.insert(args.end(), row.args.begin(), row.args.end());
  const auto parsed = parseCommandLine(args, sim);
  SCOPED_TRACE(::testing::PrintToString(row.args));
  ASSERT_EQ(parsed.index(), row.expected.index());
  if (const auto* usage = std::get_if<UsageError>(&parsed)) {
    const auto& expected = std::get<UsageError>(row.expected);
    EXPECT_EQ(usage->code, expected.code);
    EXPECT_EQ(usage->message, expected.message);
  } else {
    const auto& mode = std::get<Importer::Mode>(parsed);
    const auto& expected = std::get<Importer::Mode>(row.expected);
    EXPECT_EQ(mode.kind, expected.kind);
    EXPECT_EQ(mode.dest, expected.dest);
    EXPECT_EQ(mode.skipExisting, expected.skipExisting);
    EXPECT_EQ(mode.deviceId, expected.deviceId);
  }
}

TEST(CommandLineTest, RejectsAnythingButTheThreeModeWords) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"Detect"}, {"IMPORT"}, {"--help"}, {"-h"}, {""}, {"--dest", "/x", "import"}}) {
    expectOutcome({args, kUsage});
  }
}

TEST(CommandLineTest, ImportNeedsTheDestOptionWordAndAValue) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"import"}, {"import", "/x"}, {"import", "--dest"}, {"import", "--dest=/x"}}) {
    expectOutcome({args, kMissingDest});
  }
}

TEST(CommandLineTest, ImportDestinationAndSkipFlag) {
  using Mode = Importer::Mode;
  const std::vector<Row> rows{
      {{"import", "--dest", "/x"}, Mode::importTo("/x", false)},
      {{"import", "--dest", "a", "--dest", "b"}, Mode::importTo("/work/a", false)},
      {{"import", "--skip-existing", "--dest", "/x"}, Mode::importTo("/x", true)},
      {{"import", "--dest", "/x", "--skip-existing"}, Mode::importTo("/x", true)},
      {{"import", "--dest", "--skip-existing"}, Mode::importTo("/work/--skip-existing", true)},
      {{"import", "--dest", "photos"}, Mode::importTo("/work/photos", false)},
      {{"import", "--dest", "~/photos/"}, Mode::importTo("/work/~/photos", false)},
      {{"import", "--dest", ""}, Mode::importTo("/work", false)},
  };
  for (const auto& row : rows) expectOutcome(row);
}

TEST(CommandLineTest, OtherModesIgnoreEveryOtherArgument) {
  expectOutcome({{"detect", "--dest", "/x", "--skip-existing"}, Importer::Mode::detect()});
  expectOutcome({{"session", "--skip-existing", "foo"}, Importer::Mode::session()});
}

TEST(CommandLineTest, DeviceOptionNamesTheOneDeviceAnywhereAfterTheModeWord) {
  using Mode = Importer::Mode;
  const std::vector<Row> rows{
      {{"detect", "--device", "00008110-000A1B2C3D4E5F60"},
       Mode::detect().onlyDevice("00008110-000A1B2C3D4E5F60")},
      {{"import", "--device", "/media/zo\xC3\xAB/CARD", "--dest", "/x"},
       Mode::importTo("/x", false).onlyDevice("/media/zo\xC3\xAB/CARD")},
      {{"import", "--dest", "/x", "--skip-existing", "--device", "usb:1-1.4"},
       Mode::importTo("/x", true).onlyDevice("usb:1-1.4")},
      {{"session", "--device", "a", "--device", "b"}, Mode::session().onlyDevice("a")},
      {{"session", "--device", "--dest"}, Mode::session().onlyDevice("--dest")},
      // As the last argument it names the empty id, which no device has.
      {{"detect", "--device"}, Mode::detect().onlyDevice("")},
      {{"detect", "--device", ""}, Mode::detect().onlyDevice("")},
      {{"session"}, Mode::session()},
  };
  for (const auto& row : rows) expectOutcome(row);
}

TEST(CommandLineTest, DevicesModeIgnoresEveryOtherArgument) {
  expectOutcome({{"devices"}, Importer::Mode::devices()});
  expectOutcome({{"devices", "--device", "x", "--dest", "/x"}, Importer::Mode::devices()});
  expectOutcome({{"Devices"}, kUsage});
}

TEST(CommandLineTest, ArgValueLooksFromTheProgramPathOn) {
  EXPECT_EQ(argValue({"--dest", "x"}, "--dest"), "x");
  EXPECT_EQ(argValue({"p", "--dest"}, "--dest"), std::nullopt);
  EXPECT_EQ(argValue({"p", "import"}, "--dest"), std::nullopt);
}

}  // namespace
}  // namespace picferry
