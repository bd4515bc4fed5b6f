#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;
using DiscoveryTest = ImporterTest;

TEST_F(DiscoveryTest, FifteenRefusalsTwoSecondsApartThenLockedOrUntrusted) {
  startRun(Mode::detect());
  auto camera = std::make_shared<FakeCamera>(sim, "iPhone");
  camera->setClock([this] { return sim.now(); });
  camera->refuseNextOpens(20, "Unlock the iPhone and tap Trust.");
  sim.advance(1);
  browser->attach(camera);
  sim.advance(30);
  ASSERT_EQ(camera->openRequests().size(), 15u);
  for (std::size_t i = 0; i < 15; ++i) EXPECT_DOUBLE_EQ(camera->openRequests()[i], 1.0 + 2.0 * i);
  EXPECT_EQ(importer->openAttempts, 15);
  EXPECT_EQ(sim.exitStatus(), 1);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 29.0);
  EXPECT_EQ(sim.output(),
            R"({"type":"error","code":"locked_or_untrusted","message":"Unlock the iPhone and tap Trust. #15"})"
            "\n");
}

TEST_F(DiscoveryTest, RefusalsThenSuccessWriteNothing) {
  startRun(Mode::detect());
  auto camera = std::make_shared<FakeCamera>(sim, "iPhone");
  camera->refuseNextOpens(3, "locked");
  browser->attach(camera);
  sim.advance(10);
  EXPECT_EQ(camera->openRequests().size(), 4u);
  EXPECT_EQ(importer->openAttempts, 4);
  EXPECT_EQ(sim.output(), "");
  EXPECT_FALSE(sim.exitStatus());
}

TEST_F(DiscoveryTest, NothingHappensOnceReady) {
  startRun(Mode::detect());
  auto camera = attachReadyCamera(files({"A.JPG"}));
  ASSERT_TRUE(importer->ready);
  sim.call([&] {
    importer->deviceDidOpenSessionWithError(*camera, DeviceError{"late refusal"});
    importer->tryOpenSession();
  });
  EXPECT_EQ(importer->openAttempts, 1);
  EXPECT_EQ(sim.pendingTasks(), 1);  // only the settle task
  EXPECT_EQ(camera->openRequests().size(), 1u);
}

TEST_F(DiscoveryTest, RetryPendingAtReadinessIssuesNoRequest) {
  startRun(Mode::detect());
  auto camera = std::make_shared<FakeCamera>(sim, "iPhone");
  camera->refuseNextOpens(1, "locked");
  browser->attach(camera);
  sim.advance(1);  // refused; the retry is due at 2.0
  camera->becomeReady();
  sim.advance(1.5);
  EXPECT_EQ(camera->openRequests().size(), 1u);
  EXPECT_EQ(importer->openAttempts, 1);
}

TEST_F(DiscoveryTest, OnlyTheFirstCameraIsTakenAndNonCamerasAreIgnored) {
  startRun(Mode::detect());
  auto scanner = std::make_shared<FakeScanner>();
  auto first = std::make_shared<FakeCamera>(sim, "first");
  auto second = std::make_shared<FakeCamera>(sim, "second");
  browser->attach(scanner);
  browser->attach(first);
  browser->attach(second);
  sim.runDue();
  EXPECT_EQ(importer->camera, first);
  EXPECT_EQ(scanner->openRequests, 0);
  EXPECT_EQ(first->openRequests().size(), 1u);
  EXPECT_EQ(second->openRequests().size(), 0u);
}

TEST_F(DiscoveryTest, UnpluggingIsNotActedOn) {
  startRun(Mode::detect());
  auto camera = attachCamera();
  browser->detach(camera);
  sim.runDue();
  EXPECT_EQ(importer->camera, camera);
  EXPECT_EQ(sim.output(), "");
}

}  // namespace
}  // namespace picferry::testing
