#include "app/import_choice_options.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/simulated_platform.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

std::variant<Importer::Mode, UsageError> parse(std::vector<std::string> args) {
  SimulatedPlatform sim;
  args.insert(args.begin(), "/usr/bin/picferry");
  return parseCommandLine(args, sim);
}

TEST(ImportChoiceOptionsTest, ItemsThumbnailsNewOnlyAndReasonsAfterTheModeWordOnly) {
  struct Row {
    std::vector<std::string> args;
    bool items;
    bool newOnly;
    bool reasons = false;
    bool thumbnails = false;
  };
  for (const Row& row :
       std::vector<Row>{{{"detect", "--items"}, true, false},
                        {{"session", "x", "--items"}, true, false},
                        {{"detect"}, false, false},
                        {{"import", "--dest", "/d", "--new-only"}, false, true},
                        {{"import", "--new-only", "--dest", "/d", "--items"}, false, true},
                        {{"import", "--dest", "--new-only"}, false, true},
                        {{"detect", "--new-only"}, false, false},
                        {{"import", "--reasons", "--dest", "/d"}, false, false, true},
                        {{"import", "--dest", "/d", "--new-only", "--reasons"}, false, true, true},
                        {{"session", "--reasons"}, false, false, false},
                        {{"detect", "--thumbnails", "--items"}, true, false, false, true},
                        {{"session", "--items", "--thumbnails"}, true, false, false, true},
                        {{"detect", "--thumbnails"}, false, false, false, false},
                        {{"import", "--dest", "/d", "--items", "--thumbnails"}, false, false}}) {
    const auto parsed = parse(row.args);
    ASSERT_TRUE(std::holds_alternative<Importer::Mode>(parsed)) << row.args[0];
    const auto& mode = std::get<Importer::Mode>(parsed);
    EXPECT_EQ(mode.items, row.items) << ::testing::PrintToString(row.args);
    EXPECT_EQ(mode.newOnly, row.newOnly) << ::testing::PrintToString(row.args);
    EXPECT_EQ(mode.reasons, row.reasons) << ::testing::PrintToString(row.args);
    EXPECT_EQ(mode.thumbnails, row.thumbnails) << ::testing::PrintToString(row.args);
    EXPECT_FALSE(mode.only) << ::testing::PrintToString(row.args);
  }
}

TEST(ImportChoiceOptionsTest, OnlyReadsOnePathALine) {
  testing::TempDir dir;
  std::ofstream(dir / "list", std::ios::binary)
      << "/DCIM/100APPLE/IMG_0001.HEIC\n\n/DCIM/a b; \"c\" %d.JPG\n/DCIM/no-newline-at-end.JPG";
  const auto parsed = parse({"import", "--only", dir / "list", "--dest", "/d"});
  ASSERT_TRUE(std::holds_alternative<Importer::Mode>(parsed));
  EXPECT_EQ(std::get<Importer::Mode>(parsed).only,
            (std::vector<std::string>{"/DCIM/100APPLE/IMG_0001.HEIC", "/DCIM/a b; \"c\" %d.JPG",
                                      "/DCIM/no-newline-at-end.JPG"}));
  std::ofstream(dir / "empty");
  EXPECT_EQ(
      std::get<Importer::Mode>(parse({"import", "--dest", "/d", "--only", dir / "empty"})).only,
      std::vector<std::string>{});
}

TEST(ImportChoiceOptionsTest, UnreadableOrMissingListIsBadArgsNamingTheFileAndWhy) {
  testing::TempDir dir;
  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  for (const Row& row : std::vector<Row>{
           {{"import", "--dest", "/d", "--only", dir / "absent"},
            "Couldn't read the list of paths " + (dir / "absent") + ": No such file or directory"},
           {{"import", "--dest", "/d", "--only", dir.path.string()},
            "Couldn't read the list of paths " + dir.path.string() + ": Is a directory"},
           {{"import", "--dest", "/d", "--only"}, "missing LIST after --only"}}) {
    const auto parsed = parse(row.args);
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << row.message;
    EXPECT_EQ(std::get<UsageError>(parsed).code, "bad_args");
    EXPECT_EQ(std::get<UsageError>(parsed).message, row.message);
  }
  // --dest is checked first, as before.
  EXPECT_EQ(std::get<UsageError>(parse({"import", "--only", dir / "absent"})).message,
            "missing --dest");
}

}  // namespace
}  // namespace picferry
