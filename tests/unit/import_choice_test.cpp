// What an import takes (--items, --only, --new-only and their session keys)
// and what it records, on the fake camera and an import record in memory.

#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;
constexpr std::int64_t T0 = 1'600'000'000;

Mode withItems(Mode mode) {
  mode.items = true;
  return mode;
}

class ImportChoiceTest : public ImporterTest {
 protected:
  // A (dated), B (no date), a nameless file, C: in this catalogue order.
  std::vector<std::shared_ptr<CameraItem>> catalogue() const {
    return {std::make_shared<FakeFile>("A.JPG", 10, T0, "/DCIM/100/A.JPG"),
            std::make_shared<FakeFile>("B.MOV", 20, std::nullopt, "/DCIM/100/B.MOV"),
            std::make_shared<FakeFile>(std::nullopt, 30, T0 + 3, "/DCIM/101/unnamed"),
            std::make_shared<FakeFile>("C.PNG", 40, T0 + 4, "/DCIM/101/C.PNG")};
  }
  // What the record holds, as earlier runs left it, once the run starts.
  void recordEarlier(std::vector<RecordedFileKey> keys, const std::string& device = kDevice) {
    for (auto& key : keys) earlier_.push_back({device, std::move(key), "/earlier"});
  }
  void begin(Mode mode) {
    startRun(std::move(mode));
    record->entries = earlier_;
    record->readFailure = readFailure_;
  }
  // Runs `mode` on the catalogue until the process ends; downloads complete.
  std::shared_ptr<FakeCamera> run(Mode mode) {
    begin(std::move(mode));
    auto camera = settleCatalog(catalogue());
    sim.advance(1000);
    return camera;
  }
  std::vector<std::string> requested(const FakeCamera& camera) const {
    std::vector<std::string> names;
    for (const auto& request : camera.downloadRequests()) {
      names.push_back(request.options.saveAsFilename);
    }
    return names;
  }

  // The fake camera's device as the record knows it.
  static constexpr const char* kDevice = "FAKE-CAMERA-1";
  std::optional<RecordFailure> readFailure_;

 private:
  std::vector<RecordEntry> earlier_;
};

TEST_F(ImportChoiceTest, DetectListsEveryFileAfterTheReportWithWhatTheRecordHolds) {
  recordEarlier({{"/DCIM/100/A.JPG", 10, T0},
                 {"/DCIM/100/B.MOV", 20, T0},        // B now has no date: another file
                 {"/DCIM/101/C.PNG", 41, T0 + 4}});  // C changed size on the device
  recordEarlier({{"/DCIM/101/unnamed", 30, T0 + 3}}, "ANOTHER-DEVICE");
  run(withItems(Mode::detect()));
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(
      sim.outputLines(),
      (std::vector<std::string>{
          R"({"type":"detected","device":"Test iPhone","itemCount":4,"totalBytes":100})",
          R"({"type":"item","path":"\/DCIM\/100\/A.JPG","name":"A.JPG","size":10,"mtime":1600000000,"imported":true})",
          R"({"type":"item","path":"\/DCIM\/100\/B.MOV","name":"B.MOV","size":20,"imported":false})",
          R"({"type":"item","path":"\/DCIM\/101\/unnamed","name":"file","size":30,"mtime":1600000003,"imported":false})",
          R"({"type":"item","path":"\/DCIM\/101\/C.PNG","name":"C.PNG","size":40,"mtime":1600000004,"imported":false})"}));
}

TEST_F(ImportChoiceTest, UnreadableRecordLeavesImportedOut) {
  readFailure_ = RecordFailure{"The import record /s/imported.sqlite is damaged"};
  run(withItems(Mode::detect()));
  EXPECT_EQ(sim.exitStatus(), 0);
  const auto all = events();
  ASSERT_EQ(all.size(), 5u);
  for (std::size_t i = 1; i < all.size(); ++i) {
    EXPECT_EQ(all[i]["type"], "item");
    EXPECT_FALSE(all[i].contains("imported")) << all[i];
  }
}

TEST_F(ImportChoiceTest, WithoutTheOptionsNothingIsListedAndTheRecordIsNotRead) {
  run(Mode::detect());
  EXPECT_EQ(sim.outputLines(),
            std::vector<std::string>{
                R"({"type":"detected","device":"Test iPhone","itemCount":4,"totalBytes":100})"});
  EXPECT_EQ(record->reads, 0);
}

TEST_F(ImportChoiceTest, SessionItemsComeBetweenTheReportAndThePendingImport) {
  begin(withItems(Mode::session()));
  auto camera = attachReadyCamera(catalogue());
  sim.feedInput("{\"cmd\":\"import\",\"dest\":\"/d\"}\n");
  sim.advance(1000);
  EXPECT_EQ(eventTypes(),
            (std::vector<std::string>{"detected", "item", "item", "item", "item", "progress",
                                      "progress", "progress", "progress", "done"}));
}

TEST_F(ImportChoiceTest, OnlyTakesTheChosenPathsInCatalogueOrderAndReportsMissingOnesLast) {
  Mode mode = Mode::importTo("/d", false);
  mode.only = {"/DCIM/101/C.PNG", "/DCIM/102/GONE.JPG", "/DCIM/100/A.JPG", "/DCIM/101/C.PNG"};
  auto camera = run(mode);
  EXPECT_EQ(requested(*camera), (std::vector<std::string>{"A.JPG", "C.PNG"}));
  EXPECT_EQ(sim.outputLines(),
            (std::vector<std::string>{
                R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
                R"({"type":"progress","done":2,"total":3,"name":"C.PNG"})",
                R"({"type":"progress","done":3,"total":3,"name":"GONE.JPG"})",
                R"({"type":"done","downloaded":2,"skipped":0,"unavailable":1,"dest":"\/d"})"}));
}

TEST_F(ImportChoiceTest, NewOnlySkipsWhatTheRecordHoldsOfThisDeviceWhateverTheFolderHolds) {
  recordEarlier({{"/DCIM/100/A.JPG", 10, T0},
                 {"/DCIM/100/B.MOV", 20, std::nullopt},
                 {"/DCIM/101/C.PNG", 40, T0 + 5}});  // C's date changed
  recordEarlier({{"/DCIM/101/unnamed", 30, T0 + 3}}, "ANOTHER-DEVICE");
  Mode mode = Mode::importTo("/d", false);
  mode.newOnly = true;
  auto camera = run(mode);
  EXPECT_EQ(requested(*camera), (std::vector<std::string>{"file-3", "C.PNG"}));
  EXPECT_EQ(events().back(), (nlohmann::json{{"type", "done"},
                                             {"downloaded", 2},
                                             {"skipped", 2},
                                             {"unavailable", 0},
                                             {"dest", "/d"}}));
  EXPECT_EQ(sim.existenceChecks(), 0);
}

TEST_F(ImportChoiceTest, TheThreeNarrowEachOther) {
  recordEarlier({{"/DCIM/100/A.JPG", 10, T0}});
  sim.addFile("/d/C.PNG", 40, T0 + 4);
  Mode mode = Mode::importTo("/d", true);
  mode.newOnly = true;
  mode.only = {"/DCIM/100/A.JPG", "/DCIM/100/B.MOV", "/DCIM/101/C.PNG"};
  auto camera = run(mode);
  EXPECT_EQ(requested(*camera), std::vector<std::string>{"B.MOV"});
  EXPECT_EQ(events().back()["skipped"], 2);
  EXPECT_EQ(events().back()["downloaded"], 1);
}

TEST_F(ImportChoiceTest, NewOnlyWithAnUnusableRecordEndsBeforeAnyCopy) {
  readFailure_ = RecordFailure{"The import record /s/imported.sqlite is damaged: bad"};
  Mode mode = Mode::importTo("/d", false);
  mode.newOnly = true;
  auto camera = run(mode);
  EXPECT_EQ(sim.exitStatus(), 1);
  EXPECT_TRUE(camera->downloadRequests().empty());
  EXPECT_EQ(
      sim.outputLines(),
      std::vector<std::string>{
          R"({"type":"error","code":"record_unusable","message":"The import record \/s\/imported.sqlite is damaged: bad"})"});
}

// A file is recorded once its download has completed (the device reports it
// only once durable under its name), or when it was found in the folder.
TEST_F(ImportChoiceTest, RecordsEachFileSavedOrFoundWhereItWentBeforeTheSummary) {
  sim.addFile("/d/A.JPG", 9);
  sim.addFile("/d/A (1).JPG", 10, T0);
  begin(Mode::importTo("/d", true));
  auto camera = attachReadyCamera(catalogue());
  camera->downloadDelay = -1;
  sim.advance(Importer::settleQuietSeconds);
  ASSERT_EQ(requested(*camera), std::vector<std::string>{"B.MOV"});
  ASSERT_EQ(record->entries.size(), 1u);  // A, found
  EXPECT_EQ(record->entries[0].savedAs, "/d/A (1).JPG");
  sim.call([&] { camera->complete(std::nullopt); });  // B
  sim.call([&] { camera->complete(std::nullopt); });  // the nameless one
  sim.call([&] { camera->complete(DeviceError{"The file could not be read."}); });  // C
  ASSERT_EQ(sim.exitStatus(), 0);
  std::vector<std::pair<RecordedFileKey, std::string>> recorded;
  for (const auto& entry : record->entries) {
    EXPECT_EQ(entry.device, kDevice);
    recorded.emplace_back(entry.file, entry.savedAs);
  }
  EXPECT_EQ(recorded, (std::vector<std::pair<RecordedFileKey, std::string>>{
                          {{"/DCIM/100/A.JPG", 10, T0}, "/d/A (1).JPG"},
                          {{"/DCIM/100/B.MOV", 20, std::nullopt}, "/d/B.MOV"},
                          {{"/DCIM/101/unnamed", 30, T0 + 3}, "/d/file-3"}}));
  EXPECT_EQ(record->flushedAt, std::vector<std::size_t>{3});
}

TEST_F(ImportChoiceTest, SessionTakesOnlyAndNewOnlyAndIgnoresAMalformedOnly) {
  recordEarlier({{"/DCIM/100/A.JPG", 10, T0}});
  begin(Mode::session());
  auto camera = settleCatalog(catalogue());
  camera->downloadDelay = -1;
  for (const std::string malformed :
       {R"({"cmd":"import","dest":"/x","only":"/DCIM/100/A.JPG"})",
        R"({"cmd":"import","dest":"/x","only":["/DCIM/100/A.JPG",1]})",
        R"({"cmd":"import","dest":"/x","only":null})"}) {
    sim.feedInput(malformed + "\n");
    sim.runDue();
    EXPECT_FALSE(importer->importing) << malformed;
  }
  sim.feedInput(R"({"cmd":"import","dest":"/d","newOnly":true,)"
                R"("only":["/DCIM/100/A.JPG","/DCIM/100/B.MOV"]})"
                "\n");
  sim.runDue();
  EXPECT_EQ(requested(*camera), std::vector<std::string>{"B.MOV"});
  EXPECT_EQ(events()[0]["itemCount"], 4);
  EXPECT_EQ(events()[1],
            (nlohmann::json{{"type", "progress"}, {"done", 1}, {"total", 2}, {"name", "A.JPG"}}));
}

TEST_F(ImportChoiceTest, SessionNewOnlyMustBeTrue) {
  recordEarlier({{"/DCIM/100/A.JPG", 10, T0}});
  begin(Mode::session());
  auto camera = settleCatalog(catalogue());
  sim.feedInput(R"({"cmd":"import","dest":"/d","newOnly":"true"})"
                "\n");
  sim.advance(1000);
  EXPECT_EQ(requested(*camera).size(), 4u);
  EXPECT_EQ(record->reads, 0);
}

}  // namespace
}  // namespace picferry::testing
