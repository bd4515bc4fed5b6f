#include <csignal>

#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;
using StartupTest = ImporterTest;

TEST_F(StartupTest, ConstructionConfiguresTheBrowserAndArmsNothing) {
  create(Mode::importTo("/data/photos", true));
  EXPECT_EQ(browser->delegate(), importer.get());
  EXPECT_EQ(browser->mask(), 0x101u);
  EXPECT_FALSE(browser->started());
  EXPECT_EQ(importer->dest, "/data/photos");
  EXPECT_TRUE(importer->skipExisting);
  EXPECT_FALSE(importer->importing);
  EXPECT_EQ(sim.pendingTasks(), 0);
  EXPECT_FALSE(sim.isDirectory("/data/photos"));
}

TEST_F(StartupTest, DetectArmsSignalsWatchdogAndBrowserOnly) {
  startRun(Mode::detect());
  EXPECT_TRUE(sim.watching(SIGTERM));
  EXPECT_TRUE(sim.watching(SIGINT));
  EXPECT_EQ(importer->signalSources.size(), 2u);
  EXPECT_FALSE(importer->importing);
  EXPECT_FALSE(sim.readingInput());
  EXPECT_EQ(sim.pendingTasks(), 1);  // the watchdog
  EXPECT_TRUE(browser->started());
  EXPECT_EQ(importer->dest, "/");
}

TEST_F(StartupTest, ImportCreatesTheDestinationWithParentsAndSetsImporting) {
  startRun(Mode::importTo("/data/new/photos", false));
  EXPECT_TRUE(importer->importing);
  EXPECT_TRUE(sim.isDirectory("/data/new/photos"));
  EXPECT_FALSE(sim.readingInput());
  EXPECT_TRUE(browser->started());
  EXPECT_EQ(sim.output(), "");
}

TEST_F(StartupTest, ImportIntoAnExistingDirectoryIsAccepted) {
  sim.addDirectory("/data/photos");
  startRun(Mode::importTo("/data/photos", false));
  EXPECT_FALSE(sim.exitStatus());
  EXPECT_TRUE(browser->started());
}

TEST_F(StartupTest, UncreatableDestinationEndsBeforeWatchdogAndBrowser) {
  sim.addFile("/data/photos");
  startRun(Mode::importTo("/data/photos", false));
  EXPECT_EQ(sim.exitStatus(), 1);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0]["code"], "dest_unwritable");
  EXPECT_NE(events()[0]["message"].get<std::string>().find("/data/photos"), std::string::npos);
  EXPECT_FALSE(browser->started());
  EXPECT_EQ(sim.pendingTasks(), 0);
}

TEST_F(StartupTest, SessionReadsStandardInputAndKeepsRootDestination) {
  startRun(Mode::session());
  EXPECT_TRUE(sim.readingInput());
  EXPECT_FALSE(importer->importing);
  EXPECT_EQ(importer->dest, "/");
  EXPECT_FALSE(importer->skipExisting);
  EXPECT_TRUE(browser->started());
}

TEST_F(StartupTest, NoPhoneEndsWithNoDeviceAtExactlyFortySeconds) {
  for (const auto& mode : {Mode::detect(), Mode::session(), Mode::importTo("/d", false)}) {
    reset();
    startRun(mode);
    sim.advance(39.999);
    EXPECT_FALSE(sim.exitStatus());
    EXPECT_EQ(sim.output(), "");
    sim.advance(0.001);
    EXPECT_EQ(sim.exitStatus(), 1);
    EXPECT_DOUBLE_EQ(sim.exitTime(), 40.0);
    EXPECT_EQ(sim.output(),
              R"({"type":"error","code":"no_device","message":"No iPhone found. Connect, unlock, and tap Trust."})"
              "\n");
  }
}

TEST_F(StartupTest, CameraTakenButNeverReadyIsUnreachable) {
  startRun(Mode::detect());
  attachCamera();  // the session opens, but no catalogue ever comes
  sim.advance(40);
  EXPECT_EQ(sim.exitStatus(), 1);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0]["code"], "device_unreachable");
  EXPECT_EQ(events()[0]["message"],
            "Couldn't reach the iPhone. Unlock it, unplug and replug, then try again.");
}

TEST_F(StartupTest, ReadinessAtThirtyNineSecondsCancelsTheWatchdog) {
  startRun(Mode::detect());
  sim.advance(39);
  attachReadyCamera(files({"IMG_0001.JPG"}));
  sim.advance(0.999);
  sim.advance(0.002);
  EXPECT_FALSE(sim.exitStatus());
  sim.advance(2);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
}

TEST_F(StartupTest, SignalBeforeAnImportEndsSilently) {
  for (const int signo : {SIGINT, SIGTERM}) {
    reset();
    startRun(Mode::session());
    sim.call([&] { importer->requestImport({"/d", false}); });  // still waiting for the catalogue
    sim.raiseSignal(signo);
    sim.runDue();
    EXPECT_EQ(sim.exitStatus(), 0);
    EXPECT_EQ(sim.output(), "");
  }
}

TEST_F(StartupTest, SignalDuringImportWritesTheSummary) {
  startRun(Mode::importTo("/data/photos", false));
  sim.raiseSignal(SIGINT);  // before any phone is found
  sim.runDue();
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(sim.output(),
            R"({"type":"done","downloaded":0,"skipped":0,"unavailable":0,"dest":"\/data\/photos"})"
            "\n");
}

TEST_F(StartupTest, SignalAfterTheControllerIsGoneExitsZero) {
  startRun(Mode::importTo("/d", false));
  importer.reset();
  sim.raiseSignal(SIGTERM);
  sim.advance(60);  // the watchdog finds no controller either
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(sim.output(), "");
}

}  // namespace
}  // namespace picferry::testing
