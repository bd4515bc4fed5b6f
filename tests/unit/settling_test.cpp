#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;
using SettlingTest = ImporterTest;

// Counts finalization attempts by the empty re-checks they grant.
TEST_F(SettlingTest, FinalizesExactlyThreeSecondsAfterReadiness) {
  startRun(Mode::detect());
  sim.advance(5);
  attachReadyCamera(files({"A.JPG"}));
  sim.advance(2.999);
  EXPECT_FALSE(sim.exitStatus());
  sim.advance(0.001);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 8.0);
}

TEST_F(SettlingTest, EachAdditionPostponesAndSupersededTasksNeverRun) {
  startRun(Mode::detect());
  auto camera = attachReadyCamera({});
  for (int second = 1; second <= 10; ++second) {
    sim.advance(1);
    camera->addItems(files({"IMG_" + std::to_string(second) + ".JPG"}));
    sim.runDue();
  }
  sim.advance(2.999);
  EXPECT_FALSE(sim.exitStatus());
  EXPECT_EQ(importer->emptyWaits, 0);  // no superseded (empty) attempt ran
  sim.advance(0.001);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 13.0);
  EXPECT_EQ(events()[0]["itemCount"], 10);
}

TEST_F(SettlingTest, AdditionsBeforeReadinessArmNothingButAreCounted) {
  startRun(Mode::detect());
  auto camera = attachCamera();
  camera->addItems(files({"A.JPG", "B.JPG"}));
  sim.advance(10);
  EXPECT_EQ(sim.pendingTasks(), 1);  // the watchdog alone
  camera->becomeReady();
  camera->becomeReady();  // a repeat changes nothing
  sim.advance(3);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 13.0);
  EXPECT_EQ(events()[0]["itemCount"], 2);
}

TEST_F(SettlingTest, ALaterRepeatOfReadinessKeepsTheDeadline) {
  startRun(Mode::detect());
  auto camera = attachReadyCamera(files({"A.JPG"}));
  const double readyAt = sim.now();
  sim.advance(2);
  camera->becomeReady();
  sim.advance(1);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), readyAt + 3.0);
}

// A catalogue read in part never reaches "detected" or the downloads.
TEST_F(SettlingTest, FailedCatalogueEndsUnreachableWhateverWasListed) {
  for (const auto& mode : {Mode::detect(), Mode::importTo("/d", false), Mode::session()}) {
    reset();
    startRun(mode);
    auto camera = attachReadyCamera(files({"A.JPG", "B.JPG"}));
    sim.advance(1);
    camera->failCatalog("Couldn't list /DCIM/101APPLE");
    sim.advance(1);
    EXPECT_EQ(sim.exitStatus(), 1);
    EXPECT_EQ(sim.outputLines(),
              std::vector<std::string>{
                  R"({"type":"error","code":"device_unreachable","message":"Couldn't reach the )"
                  R"(iPhone. Unlock it, unplug and replug, then try again."})"});
    EXPECT_TRUE(camera->downloadRequests().empty());
  }
}

TEST_F(SettlingTest, FailureAfterTheReportChangesNothing) {
  startRun(Mode::session());
  auto camera = settleCatalog(files({"A.JPG"}));
  camera->failCatalog("late");
  sim.advance(1);
  EXPECT_FALSE(sim.exitStatus());
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
}

TEST_F(SettlingTest, RemovalsKeepTheDeadline) {
  startRun(Mode::detect());
  auto camera = attachReadyCamera(files({"A.JPG"}));
  sim.advance(2);
  sim.call([&] { importer->cameraDeviceDidRemoveItems(*camera, {}); });
  sim.advance(1);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 3.0);
}

TEST_F(SettlingTest, EmptyCatalogIsRecheckedTwelveTimesAndReportedAtThirtyNineSeconds) {
  startRun(Mode::detect());
  attachReadyCamera({});
  sim.advance(38.999);
  EXPECT_FALSE(sim.exitStatus());
  EXPECT_EQ(importer->emptyWaits, 12);
  sim.advance(0.001);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 39.0);
  EXPECT_EQ(sim.output(),
            R"({"type":"detected","device":"Test iPhone","itemCount":0,"totalBytes":0})"
            "\n");
}

TEST_F(SettlingTest, ItemsAfterAnEmptyAttemptFinalizeThreeSecondsLater) {
  startRun(Mode::session());
  auto camera = attachReadyCamera({});
  sim.advance(3);
  EXPECT_EQ(importer->emptyWaits, 1);
  sim.advance(1);
  camera->addItems(files({"A.JPG"}));
  sim.advance(2.999);
  EXPECT_FALSE(importer->finalized);
  sim.advance(0.001);
  EXPECT_TRUE(importer->finalized);
  EXPECT_DOUBLE_EQ(sim.now(), 7.0);
  EXPECT_EQ(importer->emptyWaits, 1);
}

TEST_F(SettlingTest, AdditionsAfterFinalizationChangeNothing) {
  startRun(Mode::session());
  auto camera = settleCatalog(files({"A.JPG"}));
  camera->addItems(files({"B.JPG"}));
  sim.advance(10);
  sim.call([&] { importer->finalizeCatalog(); });
  EXPECT_EQ(importer->total, 1);
  EXPECT_EQ(importer->queue.size(), 1u);
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
}

using ReportTest = ImporterTest;

TEST_F(ReportTest, DetectReportsNameCountAndBytesOfFilesOnlyThenExits) {
  startRun(Mode::detect());
  auto camera = attachCamera("Zoë's \"iPhone\"");
  camera->addItems({file("A.JPG", 10), std::make_shared<FakeFolder>(), file("B.MOV", 20),
                    file(std::nullopt, 30), file("EMPTY.JPG", 0)});
  camera->becomeReady();
  sim.advance(3);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(sim.output(),
            "{\"type\":\"detected\",\"device\":\"Zoë's \\\"iPhone\\\"\",\"itemCount\":4,"
            "\"totalBytes\":60}\n");
  EXPECT_TRUE(importer->queue.empty());
}

TEST_F(ReportTest, DeviceNameAbsentIsIPhoneAndEmptyIsKept) {
  for (const auto& [name, reported] :
       std::vector<std::pair<std::optional<std::string>, std::string>>{{std::nullopt, "iPhone"},
                                                                       {"", ""}}) {
    reset();
    startRun(Mode::detect());
    auto camera = attachCamera(name);
    camera->addItems(files({"A.JPG"}));
    camera->becomeReady();
    sim.advance(3);
    EXPECT_EQ(events().at(0)["device"], reported);
  }
}

TEST_F(ReportTest, AbsentCatalogCountsAsEmpty) {
  startRun(Mode::detect());
  auto camera = attachCamera();
  camera->setCatalogAbsent();
  camera->becomeReady();
  sim.advance(39);
  EXPECT_EQ(events().at(0)["itemCount"], 0);
}

TEST_F(ReportTest, SessionReportsAndWaitsWithTheQueueFilled) {
  startRun(Mode::session());
  settleCatalog(files({"A.JPG", "B.JPG"}));
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
  EXPECT_FALSE(sim.exitStatus());
  EXPECT_EQ(importer->queue.size(), 2u);
  EXPECT_EQ(importer->total, 2);
  EXPECT_FALSE(importer->importing);
}

TEST_F(ReportTest, ImportWritesNoReportAndStartsDownloading) {
  startRun(Mode::importTo("/d", false));
  auto camera = settleCatalog(files({"A.JPG", "B.JPG"}));
  EXPECT_EQ(sim.output(), "");
  EXPECT_EQ(camera->downloadRequests().size(), 1u);
}

}  // namespace
}  // namespace picferry::testing
