#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;

class ByteProgressTest : public ImporterTest {
 protected:
  // An import into /d of A.JPG (1000 bytes, already there: skipped), B.MOV
  // (5000) and C.JPG (300), whose downloads wait for the test.
  std::shared_ptr<FakeCamera> importWaiting(bool byteProgress) {
    sim.addFile("/d/A.JPG", 1000);
    startRun(Mode::importTo("/d", true, byteProgress));
    auto camera = attachReadyCamera({a, b, c});
    camera->downloadDelay = -1;
    sim.advance(3);
    return camera;
  }
  // The device tells progress of `file`, then the test lets that file end.
  void report(FakeCamera& camera, const std::shared_ptr<FakeFile>& file, std::int64_t bytes) {
    camera.reportProgress(file, bytes);
    sim.runDue();
  }
  void complete(FakeCamera& camera, std::optional<DeviceError> error = std::nullopt) {
    sim.call([&] { camera.complete(error); });
  }

  const std::shared_ptr<FakeFile> a = std::make_shared<FakeFile>("A.JPG", 1000);
  const std::shared_ptr<FakeFile> b = std::make_shared<FakeFile>("B.MOV", 5000);
  const std::shared_ptr<FakeFile> c = std::make_shared<FakeFile>("C.JPG", 300);
};

TEST_F(ByteProgressTest, TransferLinesAccountForEveryFileHandledAndNeverGoBackOrPastTheTotal) {
  auto camera = importWaiting(true);
  ASSERT_EQ(camera->downloadRequests().size(), 1u);
  EXPECT_TRUE(camera->downloadRequests()[0].options.reportProgress);
  report(*camera, b, 2000);
  report(*camera, b, 1500);  // a lower report leaves doneBytes where it was
  complete(*camera, DeviceError{"unplugged"});
  report(*camera, b, 5000);  // late: B has its progress line already
  report(*camera, c, 400);   // more than its size: doneBytes stops at the total
  complete(*camera);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(
      sim.outputLines(),
      (std::vector<std::string>{
          R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
          R"({"type":"transfer","name":"B.MOV","bytes":2000,"size":5000,"doneBytes":3000,"totalBytes":6300})",
          R"({"type":"transfer","name":"B.MOV","bytes":1500,"size":5000,"doneBytes":3000,"totalBytes":6300})",
          R"({"type":"progress","done":2,"total":3,"name":"B.MOV"})",
          R"({"type":"transfer","name":"C.JPG","bytes":400,"size":300,"doneBytes":6300,"totalBytes":6300})",
          R"({"type":"progress","done":3,"total":3,"name":"C.JPG"})",
          R"({"type":"done","downloaded":1,"skipped":1,"unavailable":1,"dest":"\/d"})"}));
}

TEST_F(ByteProgressTest, WithoutTheOptionNothingIsAskedAndNoTransferLineIsWritten) {
  auto camera = importWaiting(false);
  report(*camera, b, 2000);
  complete(*camera);
  report(*camera, c, 100);
  complete(*camera);
  for (const auto& request : camera->downloadRequests()) {
    EXPECT_FALSE(request.options.reportProgress);
  }
  EXPECT_EQ(sim.outputLines(),
            (std::vector<std::string>{
                R"({"type":"progress","done":1,"total":3,"name":"A.JPG"})",
                R"({"type":"progress","done":2,"total":3,"name":"B.MOV"})",
                R"({"type":"progress","done":3,"total":3,"name":"C.JPG"})",
                R"({"type":"done","downloaded":2,"skipped":1,"unavailable":0,"dest":"\/d"})"}));
}

// In a session the import command asks for it with a JSON true, and only so.
TEST_F(ByteProgressTest, SessionImportCommandAsksWithTrueOnly) {
  for (const auto& [key, asked] :
       std::vector<std::pair<std::string, bool>>{{R"(,"byteProgress":true)", true},
                                                 {R"(,"byteProgress":false)", false},
                                                 {R"(,"byteProgress":1)", false},
                                                 {R"(,"byteProgress":"true")", false},
                                                 {"", false}}) {
    SCOPED_TRACE(key);
    reset();
    startRun(Mode::session());
    auto camera = settleCatalog({b});
    camera->downloadDelay = -1;
    sim.feedInput(R"({"cmd":"import","dest":"/d")" + key + "}\n");
    sim.runDue();
    ASSERT_EQ(camera->downloadRequests().size(), 1u);
    EXPECT_EQ(camera->downloadRequests()[0].options.reportProgress, asked);
    report(*camera, b, 10);
    EXPECT_EQ(eventTypes().back(), asked ? "transfer" : "detected");
  }
}

}  // namespace
}  // namespace picferry::testing
