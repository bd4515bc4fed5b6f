// Why each unavailable file failed ("failed") and the room an import needs
// ("space"), when the import asks for them; files too large for the
// destination's file system, failed at their turn without being requested.

#include <algorithm>

#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;

Mode withReasons(Mode mode) {
  mode.reasons = true;
  return mode;
}

class FailureReportTest : public ImporterTest {
 protected:
  // A.JPG (100 bytes), B.MOV (200), C.PNG (300) in /DCIM/100TEST.
  static std::vector<std::shared_ptr<CameraItem>> catalogue() {
    return {file("A.JPG", 100), file("B.MOV", 200), file("C.PNG", 300)};
  }
  // Runs the import of `mode` on the catalogue until the process ends.
  std::shared_ptr<FakeCamera> run(Mode mode, std::vector<std::string> failing = {},
                                  FailureCode code = FailureCode::deviceReadFailed) {
    startRun(std::move(mode));
    auto camera = attachCamera();
    camera->failingNames = std::move(failing);
    camera->failingCode = code;
    camera->addItems(catalogue());
    camera->becomeReady();
    sim.advance(1000);
    return camera;
  }
  static std::vector<std::string> requested(const FakeCamera& camera) {
    std::vector<std::string> names;
    for (const auto& request : camera.downloadRequests()) {
      names.push_back(request.options.saveAsFilename);
    }
    return names;
  }
  static std::vector<std::string> planned(const FakeCamera& camera) {
    std::vector<std::string> names;
    for (const auto& download : camera.plan()) names.push_back(download.saveAs);
    return names;
  }
};

// Each code reaches the event by its name, with the device's own message,
// just before the file's "progress".
TEST_F(FailureReportTest, FailedComesJustBeforeItsProgressWithTheCodeAndMessage) {
  for (const auto& [code, name] : std::vector<std::pair<FailureCode, std::string>>{
           {FailureCode::deviceReadFailed, "device_read_failed"},
           {FailureCode::deviceDisconnected, "device_disconnected"},
           {FailureCode::deviceRefused, "device_refused"},
           {FailureCode::notOnDevice, "not_on_device"},
           {FailureCode::incomplete, "incomplete"},
           {FailureCode::destinationFull, "destination_full"},
           {FailureCode::tooBigForDestination, "too_big_for_destination"},
           {FailureCode::destinationFailed, "destination_failed"},
           {FailureCode::namesTaken, "names_taken"}}) {
    reset();
    sim.setRoom({1'000'000, std::nullopt});
    run(withReasons(Mode::importTo("/d", false)), {"B.MOV"}, code);
    EXPECT_EQ(sim.outputLines(),
              (std::vector<std::string>{
                  R"({"type":"space","neededBytes":600,"freeBytes":1000000})",
                  R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
                  R"({"type":"failed","path":"\/DCIM\/100TEST\/B.MOV","name":"B.MOV","code":")" +
                      name + R"(","message":"The file could not be read."})",
                  R"({"type":"progress","done":2,"total":3,"name":"B.MOV"})",
                  R"({"type":"progress","done":3,"total":3,"name":"C.PNG"})",
                  R"({"type":"done","downloaded":2,"skipped":0,"unavailable":1,"dest":"\/d"})"}))
        << name;
  }
}

TEST_F(FailureReportTest, WithoutTheOptionNeitherEventIsWritten) {
  sim.setRoom({1'000'000, 150});
  Mode mode = Mode::importTo("/d", false);
  mode.only = {"/DCIM/100TEST/A.JPG", "/DCIM/100TEST/B.MOV", "/DCIM/100TEST/GONE.JPG"};
  run(mode, {"A.JPG"});
  EXPECT_EQ(sim.outputLines(),
            (std::vector<std::string>{
                R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
                R"({"type":"progress","done":2,"total":3,"name":"B.MOV"})",
                R"({"type":"progress","done":3,"total":3,"name":"GONE.JPG"})",
                R"({"type":"done","downloaded":0,"skipped":0,"unavailable":3,"dest":"\/d"})"}));
}

// A file larger than the file system holds in one file is neither planned
// (so never read ahead) nor requested, asked for reasons or not. Free space
// is left to where the copy begins: a copy read ahead already holds its room
// at its turn.
TEST_F(FailureReportTest, AFileTheFileSystemCannotHoldFailsAtItsTurnUnrequested) {
  struct Row {
    FileSystemRoom room;
    bool reasons;
    std::vector<std::string> requested;
    std::int64_t unavailable;
  };
  for (const Row& row : std::vector<Row>{
           {{1'000'000, 250}, true, {"A.JPG", "B.MOV"}, 1},
           {{std::nullopt, 250}, false, {"A.JPG", "B.MOV"}, 1},
           {{std::nullopt, 300}, true, {"A.JPG", "B.MOV", "C.PNG"}, 0},
           {{150, std::nullopt}, true, {"A.JPG", "B.MOV", "C.PNG"}, 0}}) {
    reset();
    sim.setRoom(row.room);
    auto camera = run(row.reasons ? withReasons(Mode::importTo("/d", false))
                                  : Mode::importTo("/d", false));
    EXPECT_EQ(requested(*camera), row.requested);
    EXPECT_EQ(planned(*camera), row.requested);
    EXPECT_EQ(events().back()["unavailable"], row.unavailable);
    std::vector<nlohmann::json> failed;
    for (const auto& event : events()) {
      if (event["type"] == "failed") failed.push_back(event);
    }
    if (!row.reasons || row.unavailable == 0) {
      EXPECT_TRUE(failed.empty());
      continue;
    }
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["code"], "too_big_for_destination");
    EXPECT_EQ(failed[0]["message"],
              "Could not copy /DCIM/100TEST/C.PNG into /d: File too large (300 bytes, where its "
              "file system holds 250 bytes at most in one file); nothing was read from the "
              "device.");
    EXPECT_EQ(events()[events().size() - 2]["name"], "C.PNG");  // its progress follows
  }
}

// What the import will ask for, as planned: less the skips decided up front
// (--new-only, --skip-existing) and what cannot be held.
TEST_F(FailureReportTest, SpaceTellsTheBytesToAskForAndWhatIsFreeBeforeTheFirstRequest) {
  struct Row {
    FileSystemRoom room;
    bool newOnly;
    std::string space;
  };
  for (const Row& row : std::vector<Row>{
           {{5000, std::nullopt}, false, R"({"type":"space","neededBytes":400,"freeBytes":5000})"},
           {{std::nullopt, std::nullopt}, false, R"({"type":"space","neededBytes":400})"},
           {{5000, 250}, false, R"({"type":"space","neededBytes":100,"freeBytes":5000})"},
           {{5000, std::nullopt}, true, R"({"type":"space","neededBytes":300,"freeBytes":5000})"}}) {
    reset();
    sim.setRoom(row.room);
    sim.addFile("/d/B.MOV", 200);  // --skip-existing finds it
    Mode mode = withReasons(Mode::importTo("/d", true));
    mode.newOnly = row.newOnly;
    startRun(mode);
    RecordEntry earlier;  // named members: g++ 12 -O2 takes braced ones for uninitialized
    earlier.device = "FAKE-CAMERA-1";
    earlier.file.path = "/DCIM/100TEST/A.JPG";
    earlier.file.size = 100;
    record->entries.push_back(earlier);
    auto camera = attachCamera();
    camera->downloadDelay = -1;
    camera->addItems(catalogue());
    camera->becomeReady();
    sim.advance(Importer::settleQuietSeconds);
    ASSERT_FALSE(sim.outputLines().empty());
    EXPECT_EQ(sim.outputLines().front(), row.space);
    EXPECT_EQ(camera->downloadRequests().size(), 1u);
  }
}

TEST_F(FailureReportTest, OnlyPathsTheCatalogueDoesNotHoldFailNotOnDeviceLast) {
  Mode mode = withReasons(Mode::importTo("/d", false));
  mode.only = {"/DCIM/102/GONE.JPG", "/DCIM/100TEST/C.PNG"};
  run(mode);
  const auto all = events();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0], (nlohmann::json{{"type", "space"}, {"neededBytes", 300}}));
  EXPECT_EQ(all[2], (nlohmann::json{{"type", "failed"},
                                    {"path", "/DCIM/102/GONE.JPG"},
                                    {"name", "GONE.JPG"},
                                    {"code", "not_on_device"},
                                    {"message", "/DCIM/102/GONE.JPG is not on the device: its "
                                                "catalogue does not hold it."}}));
  EXPECT_EQ(all[3]["name"], "GONE.JPG");
  EXPECT_EQ(all[3]["done"], 2);
}

TEST_F(FailureReportTest, SessionImportTakesReasonsOnlyAsTrue) {
  for (const auto& [command, told] : std::vector<std::pair<std::string, bool>>{
           {R"({"cmd":"import","dest":"/d","reasons":true})", true},
           {R"({"cmd":"import","dest":"/d","reasons":"true"})", false},
           {R"({"cmd":"import","dest":"/d"})", false}}) {
    reset();
    startRun(Mode::session());
    auto camera = attachCamera();
    camera->failingNames = {"A.JPG"};
    camera->addItems(catalogue());
    camera->becomeReady();
    sim.advance(Importer::settleQuietSeconds);
    sim.feedInput(command + "\n");
    sim.advance(1000);
    const auto types = eventTypes();
    EXPECT_EQ(std::count(types.begin(), types.end(), "failed"), told ? 1 : 0) << command;
    EXPECT_EQ(std::count(types.begin(), types.end(), "space"), told ? 1 : 0) << command;
    EXPECT_EQ(events().back()["unavailable"], 1) << command;
  }
}

}  // namespace
}  // namespace picferry::testing
