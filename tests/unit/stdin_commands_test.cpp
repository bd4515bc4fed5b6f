#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;

class StdinCommandsTest : public ImporterTest {
 protected:
  void SetUp() override { startRun(Mode::session()); }
  void send(const std::string& chunk) {
    sim.feedInput(chunk);
    sim.runDue();
  }
  // A settled catalogue whose downloads wait for the test.
  std::shared_ptr<FakeCamera> settledCamera() {
    auto camera = settleCatalog(files({"A.JPG", "B.JPG"}));
    camera->downloadDelay = -1;
    return camera;
  }
};

TEST_F(StdinCommandsTest, ImportWhileSettlingWaitsAndTheLatestRequestWins) {
  auto camera = attachReadyCamera(files({"A.JPG"}));
  camera->downloadDelay = -1;
  send("{\"cmd\":\"import\",\"dest\":\"/first\"}\n");
  send("{\"cmd\":\"import\",\"dest\":\"rel/second\",\"skipExisting\":true}\n");
  EXPECT_FALSE(importer->importing);
  sim.advance(3);
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
  EXPECT_TRUE(importer->importing);
  EXPECT_EQ(importer->dest, "/work/rel/second");
  EXPECT_TRUE(importer->skipExisting);
  EXPECT_TRUE(sim.isDirectory("/work/rel/second"));
  EXPECT_FALSE(sim.isDirectory("/first"));
  EXPECT_EQ(camera->downloadRequests().size(), 1u);
}

TEST_F(StdinCommandsTest, ImportAfterTheReportBeginsAtOnceAndLaterOnesAreDropped) {
  auto camera = settledCamera();
  send("{\"cmd\":\"import\",\"dest\":\"/a\"}\n{\"cmd\":\"import\",\"dest\":\"/b\"}\n");
  EXPECT_EQ(importer->dest, "/a");
  EXPECT_EQ(camera->downloadRequests().size(), 1u);
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
}

TEST_F(StdinCommandsTest, ImportWithoutDestTargetsRootAndMistypedFieldsTakeDefaults) {
  auto camera = settledCamera();
  send(R"({"cmd":"import","dest":42,"skipExisting":"true","extra":[1]})"
       "\n");
  EXPECT_EQ(importer->dest, "/");
  EXPECT_FALSE(importer->skipExisting);
}

TEST_F(StdinCommandsTest, MalformedLinesAreIgnoredSilently) {
  auto camera = settledCamera();
  for (const std::string line :
       {"", "   ", "not json", "{\"cmd\":\"import\"} {\"cmd\":\"import\"}", "[{\"cmd\":\"import\"}]",
        "{\"cmd\":1}", "{\"cmd\":null}", "{\"Cmd\":\"import\"}", "{\"cmd\":\"IMPORT\"}",
        "{\"cmd\":\"Cancel\"}", "{\"cmd\":\"import\"", "\"import\"", "{\"cmd\":\"imp\xFFort\"}"}) {
    send(line + "\n");
  }
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
  EXPECT_FALSE(importer->importing);
  EXPECT_FALSE(importer->pendingImport);
  EXPECT_FALSE(sim.exitStatus());
  send("{\"cmd\":\"import\",\"dest\":\"/ok\"}\r\n");  // CRLF is accepted
  EXPECT_EQ(importer->dest, "/ok");
}

TEST_F(StdinCommandsTest, CommandSplitOverChunksRunsWhenItsLineEnds) {
  auto camera = settledCamera();
  send("{\"cmd\":\"im");
  send("port\",\"dest\":");
  EXPECT_FALSE(importer->importing);
  send("\"/split\"}\n{\"cmd\":");
  EXPECT_EQ(importer->dest, "/split");
  EXPECT_EQ(importer->stdinBuf, "{\"cmd\":");
}

TEST_F(StdinCommandsTest, LinesOverOneMebibyteAreMalformedInBoundedMemoryAndLaterOnesCount) {
  auto camera = settledCamera();
  constexpr std::size_t kLimit = 1 << 20;
  const std::string command = "{\"cmd\":\"import\",\"dest\":\"/big\"}";
  // A valid command padded past the limit is still malformed.
  send(command + std::string(kLimit - command.size() + 1, ' ') + "\n");
  // Many mebibytes without a line feed, in chunks: only a bounded part is kept.
  const std::string chunk(64 * 1024, 'x');
  for (int i = 0; i < 64; ++i) {
    send(chunk);
    ASSERT_LE(importer->stdinBuf.size(), kLimit + chunk.size());
  }
  send(command + "\n");  // ends the long line, which is dropped with what ended it
  EXPECT_FALSE(importer->importing);
  send(command.substr(0, command.size() - 7) + "\"/ok\"}" + std::string(kLimit - 500, ' ') + "\n");
  EXPECT_TRUE(importer->importing);
  EXPECT_EQ(importer->dest, "/ok");
}

TEST_F(StdinCommandsTest, CancelOrEndOfInputBeforeAnImportIsSilent) {
  for (const std::string ending : {"{\"cmd\":\"cancel\"}\n", ""}) {
    reset();
    startRun(Mode::session());
    sim.feedInput("{\"cmd\":\"import\",\"dest\":\"/p\"}\n");  // pending: no catalogue yet
    if (ending.empty()) {
      sim.closeInput();
    } else {
      sim.feedInput(ending);
    }
    sim.runDue();
    EXPECT_EQ(sim.exitStatus(), 0);
    EXPECT_EQ(sim.output(), "");
  }
}

TEST_F(StdinCommandsTest, CancelAfterTheReportBeforeAnImportIsSilent) {
  settledCamera();
  send("{\"cmd\":\"cancel\"}\n");
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(eventTypes(), std::vector<std::string>{"detected"});
}

TEST_F(StdinCommandsTest, CancelDuringAnImportWritesTheSummaryAndStopsReading) {
  auto camera = settledCamera();
  send("{\"cmd\":\"import\",\"dest\":\"/p\"}\n");
  sim.call([&] { camera->complete(std::nullopt); });
  send("{\"cmd\":\"cancel\"}\n{\"cmd\":\"import\",\"dest\":\"/never\"}\n");
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(eventTypes(), (std::vector<std::string>{"detected", "progress", "done"}));
  EXPECT_EQ(events().back()["downloaded"], 1);
  EXPECT_EQ(events().back()["dest"], "/p");
}

TEST_F(StdinCommandsTest, EndOfInputDuringAnImportWritesTheSummary) {
  settledCamera();
  send("{\"cmd\":\"import\",\"dest\":\"/p\"}\n{\"cmd\":\"cancel\"}");  // last line unfinished
  sim.closeInput();
  sim.runDue();
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(eventTypes(), (std::vector<std::string>{"detected", "done"}));
}

}  // namespace
}  // namespace picferry::testing
