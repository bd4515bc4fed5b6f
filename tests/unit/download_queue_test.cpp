#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;

class DownloadQueueTest : public ImporterTest {
 protected:
  // Imports `items` into /d and runs until the process ends.
  std::shared_ptr<FakeCamera> importAll(std::vector<std::shared_ptr<CameraItem>> items,
                                        bool skip = false,
                                        std::vector<std::string> failing = {}) {
    startRun(Mode::importTo("/d", skip));
    auto camera = attachCamera();
    camera->failingNames = std::move(failing);
    camera->addItems(std::move(items));
    camera->becomeReady();
    sim.advance(1000);
    return camera;
  }

  std::vector<std::string> progressNames() const {
    std::vector<std::string> names;
    for (const auto& event : events()) {
      if (event["type"] == "progress") names.push_back(event["name"]);
    }
    return names;
  }
};

TEST_F(DownloadQueueTest, DownloadsInOrderOneAtATimeWithProgressAndSummary) {
  auto camera = importAll(files({"A.JPG", "B.MOV", "C.PNG"}), false, {"B.MOV"});
  EXPECT_EQ(sim.exitStatus(), 0);
  ASSERT_EQ(camera->downloadRequests().size(), 3u);
  for (const auto& request : camera->downloadRequests()) {
    EXPECT_EQ(request.options.downloadsDirectory, "/d");
    EXPECT_FALSE(request.options.overwrite);
  }
  EXPECT_EQ(camera->maxOutstandingDownloads(), 1);
  EXPECT_EQ(sim.outputLines(),
            (std::vector<std::string>{
                R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
                R"({"type":"progress","done":2,"total":3,"name":"B.MOV"})",
                R"({"type":"progress","done":3,"total":3,"name":"C.PNG"})",
                R"({"type":"done","downloaded":2,"skipped":0,"unavailable":1,"dest":"\/d"})"}));
  EXPECT_EQ(sim.existenceChecks(), 0);  // no skip test without --skip-existing
}

// The plan given before the first request is the files requested, in order;
// with --skip-existing, a file whose name (or a numbered variant of it, in
// any case) an earlier planned file may take is decided only at its turn.
TEST_F(DownloadQueueTest, ThePlanIsWhatIsRequestedAndSaysWhatMayBeNamedAhead) {
  struct Case {
    bool skip;
    std::vector<std::string> names;
    std::vector<std::string> planned;
    std::vector<bool> nameAhead;
  };
  const std::vector<Case> cases = {
      {false, {"A.JPG", "B.JPG", "B.JPG"}, {"A.JPG", "B.JPG", "B.JPG"}, {true, true, true}},
      {true,
       {"A.JPG", "B.JPG", "IMG.JPG", "IMG (1).JPG", "img.jpg", "IMG (x).JPG"},
       {"B.JPG", "IMG.JPG", "IMG (1).JPG", "img.jpg", "IMG (x).JPG"},
       {true, true, false, false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.skip ? "skip existing" : "copy all");
    reset();
    sim.addFile("/d/A.JPG", 100);
    auto camera = importAll(files(c.names), c.skip, {"B.JPG"});
    EXPECT_EQ(camera->requestsBeforePlan(), 0u);
    std::vector<std::string> planned, requested;
    std::vector<bool> nameAhead;
    for (const auto& p : camera->plan()) {
      planned.push_back(p.saveAs);
      nameAhead.push_back(p.nameAhead);
    }
    for (const auto& r : camera->downloadRequests()) requested.push_back(r.options.saveAsFilename);
    EXPECT_EQ(planned, c.planned);
    EXPECT_EQ(requested, c.planned);
    EXPECT_EQ(nameAhead, c.nameAhead);
  }
}

TEST_F(DownloadQueueTest, SkipsFilesAndDirectoriesInTheWay) {
  sim.addFile("/d/A.JPG", 100);
  sim.addDirectory("/d/C.PNG");
  auto camera = importAll(files({"A.JPG", "B.MOV", "C.PNG", "D.JPG"}), true);
  ASSERT_EQ(camera->downloadRequests().size(), 2u);
  EXPECT_EQ(camera->downloadRequests()[0].options.saveAsFilename, "B.MOV");
  EXPECT_EQ(camera->downloadRequests()[1].options.saveAsFilename, "D.JPG");
  EXPECT_EQ(progressNames(), (std::vector<std::string>{"A.JPG", "B.MOV", "C.PNG", "D.JPG"}));
  EXPECT_EQ(events().back()["skipped"], 2);
  EXPECT_EQ(events().back()["downloaded"], 2);
}

// Only that very file is skipped: same size, and same date (within a second)
// where the device tells one, under the name or a numbered variant of it.
TEST_F(DownloadQueueTest, SkipsOnlyFilesAlreadyThereUnderTheirNameOrAVariant) {
  sim.addFile("/d/SAME.JPG", 100);
  sim.addFile("/d/BIGGER.JPG", 100);
  sim.addFile("/d/VARIANT.JPG", 7);
  sim.addFile("/d/VARIANT (1).JPG", 100, 50);
  sim.addFile("/d/DATED.JPG", 100, 40);
  sim.addFile("/d/NEAR.JPG", 100, 40);
  sim.addDirectory("/d/GAP (1).JPG");  // a folder at a variant is no copy
  sim.addFile("/d/GAP.JPG", 1);
  sim.addFile("/d/GAP (2).JPG", 100);
  auto camera = importAll({file("SAME.JPG"), file("BIGGER.JPG", 101),
                           std::make_shared<FakeFile>("VARIANT.JPG", 100, 50),
                           std::make_shared<FakeFile>("DATED.JPG", 100, 42),
                           std::make_shared<FakeFile>("NEAR.JPG", 100, 41), file("GAP.JPG")},
                          true);
  std::vector<std::string> requested;
  for (const auto& request : camera->downloadRequests()) {
    requested.push_back(request.options.saveAsFilename);
  }
  EXPECT_EQ(requested, (std::vector<std::string>{"BIGGER.JPG", "DATED.JPG"}));
  EXPECT_EQ(events().back()["skipped"], 4);
}

TEST_F(DownloadQueueTest, SkippedHeadIsReportedBeforeTheFirstRequest) {
  sim.addFile("/d/A.JPG", 100);
  startRun(Mode::importTo("/d", true));
  auto camera = attachReadyCamera(files({"A.JPG", "B.JPG"}));
  camera->downloadDelay = -1;
  sim.advance(3);
  EXPECT_EQ(camera->downloadRequests().size(), 1u);
  EXPECT_EQ(progressNames(), std::vector<std::string>{"A.JPG"});
}

TEST_F(DownloadQueueTest, NamelessFileIsSavedByPositionAndReportedAsFile) {
  sim.addFile("/d/file-2", 100);
  auto camera = importAll({file("A.JPG"), file(std::nullopt), file(std::nullopt)}, true);
  ASSERT_EQ(camera->downloadRequests().size(), 2u);
  EXPECT_EQ(camera->downloadRequests()[1].options.saveAsFilename, "file-3");
  EXPECT_EQ(progressNames(), (std::vector<std::string>{"A.JPG", "file-2", "file"}));
}

TEST_F(DownloadQueueTest, UnsafeNamesNeverLeaveTheDestination) {
  sim.addFile("/d/__", 100);
  auto camera = importAll({file("../../etc/passwd"), file(".."), file("."), file(""),
                           file(std::string("a\0b", 3)), file("x/")},
                          true);
  std::vector<std::string> savedAs;
  for (const auto& request : camera->downloadRequests()) {
    savedAs.push_back(request.options.saveAsFilename);
  }
  EXPECT_EQ(savedAs, (std::vector<std::string>{".._.._etc_passwd", "_", "file-4", "a_b", "x_"}));
  EXPECT_EQ(progressNames(), (std::vector<std::string>{"../../etc/passwd", "..", ".", "",
                                                       std::string("a\0b", 3), "x/"}));
  EXPECT_EQ(events().back()["skipped"], 1);  // ".." is tested as "__"
}

TEST_F(DownloadQueueTest, EmptyQueueEndsAtOnceWithZeroCounts) {
  startRun(Mode::importTo("/d", false));
  attachReadyCamera({});
  sim.advance(39);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(sim.output(),
            R"({"type":"done","downloaded":0,"skipped":0,"unavailable":0,"dest":"\/d"})"
            "\n");
}

TEST_F(DownloadQueueTest, LongRunOfSkippedFilesKeepsTheStackFlat) {
  std::vector<std::shared_ptr<CameraItem>> many;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "IMG_" + std::to_string(i) + ".JPG";
    sim.addFile("/d/" + name, 100);
    many.push_back(file(name));
  }
  auto camera = importAll(std::move(many), true);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_TRUE(camera->downloadRequests().empty());
  EXPECT_EQ(nlohmann::json::parse(sim.outputLines().back())["skipped"], 100000);
}

TEST_F(DownloadQueueTest, RequestsDuringAnImportAreDropped) {
  startRun(Mode::session());
  auto camera = settleCatalog(files({"A.JPG", "B.JPG"}));
  camera->downloadDelay = -1;
  sim.call([&] { importer->requestImport({"/first", false}); });
  sim.call([&] { importer->requestImport({"/second", true}); });
  EXPECT_EQ(importer->dest, "/first");
  EXPECT_FALSE(importer->skipExisting);
  EXPECT_EQ(camera->downloadRequests().size(), 1u);
  EXPECT_EQ(importer->pendingImport->dest, "/first");  // a dropped request is not kept
}

TEST_F(DownloadQueueTest, SessionDestinationThatCannotBeCreated) {
  startRun(Mode::session());
  sim.failCreationOf("/ro", "Couldn't create the folder \"/ro/x\": Read-only file system");
  auto camera = settleCatalog(files({"A.JPG"}));
  sim.call([&] { importer->requestImport({"/ro/x", false}); });
  EXPECT_EQ(sim.exitStatus(), 1);
  EXPECT_EQ(events().back()["code"], "dest_unwritable");
  EXPECT_EQ(events().back()["message"],
            "Couldn't create the folder \"/ro/x\": Read-only file system");
  EXPECT_TRUE(camera->downloadRequests().empty());
}

TEST_F(DownloadQueueTest, SessionEmptyQueueStillCreatesTheDestination) {
  startRun(Mode::session());
  attachReadyCamera({});
  sim.advance(39);
  sim.call([&] { importer->requestImport({"/new/dir", false}); });
  EXPECT_TRUE(sim.isDirectory("/new/dir"));
  EXPECT_EQ(eventTypes(), (std::vector<std::string>{"detected", "done"}));
}

}  // namespace
}  // namespace picferry::testing
