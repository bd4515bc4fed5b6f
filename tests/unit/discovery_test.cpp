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
  EXPECT_EQ(
      sim.output(),
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

// Cameras attached when the run starts, reported in `order` (indices into
// `kAttached`) during the browser's first look.
struct Attached {
  const char* name;
  const char* id;
  DeviceRoute route;
};
const std::vector<Attached> kAttached{
    {"CARD", "/media/CARD", DeviceRoute::mounted},
    {"Canon EOS R6", "A1B2C3D4", DeviceRoute::usb},
    {"Zoë's iPhone", "00008110-000A1B2C3D4E5F60", DeviceRoute::usbmuxd},
    {"Bea's iPhone", "00008030-0011223344556677", DeviceRoute::usbmuxd},
    {"DCIM", "1234-ABCD", DeviceRoute::mounted},
};

class ChoiceTest : public DiscoveryTest {
 protected:
  // Starts a run whose browser reports the cameras of `order` in that order
  // during its first look, and ends the look `lookSeconds` later (never, if
  // negative).
  std::vector<std::shared_ptr<FakeCamera>> startWithAttached(Mode mode,
                                                             const std::vector<int>& order,
                                                             double lookSeconds = 0.2) {
    create(std::move(mode));
    browser->firstLookAtStart = false;
    sim.call([this] { importer->start(); });
    std::vector<std::shared_ptr<FakeCamera>> cameras(kAttached.size());
    for (const int index : order) {
      const Attached& a = kAttached[static_cast<std::size_t>(index)];
      auto& camera = cameras[static_cast<std::size_t>(index)];
      camera = std::make_shared<FakeCamera>(sim, a.name, a.id, a.route);
      camera->setClock([this] { return sim.now(); });
      browser->attach(camera);
      sim.advance(0.01);
    }
    if (lookSeconds >= 0) {
      sim.advance(lookSeconds);
      browser->enumerate();
    }
    sim.runDue();
    return cameras;
  }

  static std::vector<std::size_t> opened(const std::vector<std::shared_ptr<FakeCamera>>& cameras) {
    std::vector<std::size_t> result;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      if (cameras[i] && !cameras[i]->openRequests().empty()) result.push_back(i);
    }
    return result;
  }
};

TEST_F(ChoiceTest, TheFixedOrderDecidesWhicheverRouteAnswersFirst) {
  // iPhones through usbmuxd first, by id; then USB; then mounted storage,
  // by id ("/media/CARD" before "1234-ABCD" in byte order).
  const std::vector<std::pair<std::vector<int>, std::size_t>> rows{
      {{0, 1, 2, 3, 4}, 3}, {{4, 3, 2, 1, 0}, 3}, {{2, 0, 3}, 3}, {{0, 1, 4}, 1},
      {{4, 0}, 0},          {{0, 4}, 0},          {{1}, 1},
  };
  for (const auto& [order, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(order));
    auto cameras = startWithAttached(Mode::detect(), order);
    EXPECT_EQ(opened(cameras), std::vector<std::size_t>{expected});
    EXPECT_DOUBLE_EQ(cameras[expected]->openRequests()[0], 0.01 * order.size() + 0.2);
    reset();
  }
}

TEST_F(ChoiceTest, AFirstLookThatDoesNotEndIsCutShortAtThreeSeconds) {
  auto cameras = startWithAttached(Mode::detect(), {0, 2}, -1);
  sim.advance(2.9 - sim.now());
  EXPECT_TRUE(opened(cameras).empty());
  sim.advance(0.1);
  EXPECT_EQ(opened(cameras), std::vector<std::size_t>{2});
  browser->enumerate();  // late: changes nothing
  sim.runDue();
  EXPECT_EQ(opened(cameras), std::vector<std::size_t>{2});
}

TEST_F(ChoiceTest, ARemovedCameraIsNotChosenAndNoneAttachedTakesTheFirstToAppear) {
  create(Mode::detect());
  browser->firstLookAtStart = false;
  sim.call([this] { importer->start(); });
  auto gone = std::make_shared<FakeCamera>(sim, "iPhone", "00008110-0000000000000001",
                                           DeviceRoute::usbmuxd);
  browser->attach(gone);
  browser->detach(gone);
  browser->enumerate();
  sim.advance(1);
  EXPECT_EQ(importer->camera, nullptr);
  auto card = std::make_shared<FakeCamera>(sim, "CARD", "/media/CARD", DeviceRoute::mounted);
  auto phone = std::make_shared<FakeCamera>(sim, "iPhone", "00008110-0000000000000002",
                                            DeviceRoute::usbmuxd);
  browser->attach(card);
  browser->attach(phone);
  sim.runDue();
  EXPECT_EQ(importer->camera, card) << "after the first look, the first to appear";
  EXPECT_TRUE(gone->openRequests().empty());
  EXPECT_TRUE(phone->openRequests().empty());
}

TEST_F(ChoiceTest, TheDeviceAskedForIsTakenAtOnceAndNoOtherIsTouched) {
  for (std::size_t wanted = 0; wanted < kAttached.size(); ++wanted) {
    SCOPED_TRACE(kAttached[wanted].id);
    auto cameras =
        startWithAttached(Mode::detect().onlyDevice(kAttached[wanted].id), {0, 1, 2, 3, 4}, -1);
    EXPECT_EQ(opened(cameras), std::vector<std::size_t>{wanted});
    EXPECT_LT(cameras[wanted]->openRequests()[0], 0.06) << "no wait for the first look";
    reset();
  }
}

TEST_F(ChoiceTest, ADeviceAskedForThatNeverComesEndsNoDevice) {
  auto cameras = startWithAttached(Mode::importTo("/photos", false).onlyDevice("NOT-ATTACHED"),
                                   {0, 1, 2, 3, 4});
  sim.advance(Importer::watchdogSeconds);
  EXPECT_TRUE(opened(cameras).empty());
  EXPECT_EQ(sim.exitStatus(), 1);
  EXPECT_EQ(events().at(0)["code"], "no_device");
  EXPECT_DOUBLE_EQ(sim.exitTime(), Importer::watchdogSeconds);
}

TEST_F(ChoiceTest, DevicesListsEveryCameraInTheFixedOrderOnceTheFirstLookEnds) {
  auto cameras = startWithAttached(Mode::devices(), {4, 0, 3, 1, 2}, 0.5);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), 0.55);
  EXPECT_EQ(
      sim.output(),
      R"({"type":"device","id":"00008030-0011223344556677","name":"Bea's iPhone","route":"usbmuxd"})"
      "\n"
      R"({"type":"device","id":"00008110-000A1B2C3D4E5F60","name":"Zoë's iPhone","route":"usbmuxd"})"
      "\n"
      R"({"type":"device","id":"A1B2C3D4","name":"Canon EOS R6","route":"usb"})"
      "\n"
      R"({"type":"device","id":"\/media\/CARD","name":"CARD","route":"mounted"})"
      "\n"
      R"({"type":"device","id":"1234-ABCD","name":"DCIM","route":"mounted"})"
      "\n");
  EXPECT_TRUE(opened(cameras).empty());
}

TEST_F(ChoiceTest, DevicesNamesANamelessPhoneIPhoneAndEndsWithinThreeSeconds) {
  create(Mode::devices());
  browser->firstLookAtStart = false;
  sim.call([this] { importer->start(); });
  browser->attach(std::make_shared<FakeCamera>(sim, std::nullopt, "00008110-0000000000000003",
                                               DeviceRoute::usbmuxd));
  browser->attach(std::make_shared<FakeScanner>());
  sim.advance(Importer::maxEnumerationSeconds);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_DOUBLE_EQ(sim.exitTime(), Importer::maxEnumerationSeconds);
  EXPECT_EQ(
      sim.outputLines(),
      std::vector<std::string>{
          R"({"type":"device","id":"00008110-0000000000000003","name":"iPhone","route":"usbmuxd"})"});
}

TEST_F(ChoiceTest, DevicesWithNothingAttachedWritesNothing) {
  startRun(Mode::devices());
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(sim.output(), "");
  EXPECT_EQ(importer->watchdog, nullptr) << "no watchdog";
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
