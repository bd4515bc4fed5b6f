// Thumbnails after the items (--thumbnails), on the simulated platform: the
// order of the events, the cache before the device, one device read at a
// time, the session's "thumbnails" command and an import taking the device.

#include "support/fake_thumbnail_maker.h"
#include "support/importer_harness.h"

namespace picferry::testing {
namespace {

using Mode = Importer::Mode;

Mode withThumbnails(Mode mode) {
  mode.items = true;
  mode.thumbnails = true;
  return mode;
}

class ThumbnailsTest : public ImporterTest {
 protected:
  // The camera answers a read in 1 s and the maker in 0.5 s.
  std::shared_ptr<FakeCamera> run(Mode mode, const std::vector<std::string>& names) {
    auto maker = std::make_unique<FakeThumbnailMaker>(sim, 0.5);
    this->maker = maker.get();
    for (auto& [path, kept] : keep) maker->kept[path] = kept;
    startRun(withThumbnails(std::move(mode)), std::move(maker));
    auto camera = attachReadyCamera(files(names));
    camera->thumbnailDelay = 1;
    sim.advance(Importer::settleQuietSeconds);
    return camera;
  }
  void send(const std::string& line) {
    sim.feedInput(line + "\n");
    sim.runDue();
  }
  // The paths of the thumbnail events so far, and whether each had a file.
  std::vector<std::string> thumbnailPaths() const {
    std::vector<std::string> paths;
    for (const auto& event : events()) {
      if (event["type"] == "thumbnail") paths.push_back(event["path"]);
    }
    return paths;
  }
  static std::string path(const std::string& name) { return "/DCIM/100TEST/" + name; }

  std::map<std::string, std::optional<CachedThumbnail>> keep;
  FakeThumbnailMaker* maker = nullptr;
};

TEST_F(ThumbnailsTest, DetectWritesOneEventPerItemAfterTheItemsInOrderThenExits) {
  keep[path("B.JPG")] = CachedThumbnail{"/kept/B.jpg", 240, 320};
  keep[path("C.MOV")] = std::nullopt;  // kept as having none
  auto camera = run(Mode::detect(), {"A.JPG", "B.JPG", "C.MOV", "D.JPG"});
  EXPECT_FALSE(sim.exitStatus());
  sim.advance(100);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_EQ(camera->thumbnailRequests, (std::vector<std::string>{path("A.JPG"), path("D.JPG")}));
  const auto lines = sim.outputLines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()),
            (std::vector<std::string>{
                R"({"type":"thumbnail","path":"\/DCIM\/100TEST\/A.JPG","file":"\/cache\/DCIM\/100TEST\/A.JPG","width":320,"height":240})",
                R"({"type":"thumbnail","path":"\/DCIM\/100TEST\/B.JPG","file":"\/kept\/B.jpg","width":240,"height":320})",
                R"({"type":"thumbnail","path":"\/DCIM\/100TEST\/C.MOV"})",
                R"({"type":"thumbnail","path":"\/DCIM\/100TEST\/D.JPG","file":"\/cache\/DCIM\/100TEST\/D.JPG","width":320,"height":240})"}));
}

TEST_F(ThumbnailsTest, EveryThumbnailKeptReadsNothingFromTheDevice) {
  for (const char* name : {"A.JPG", "B.JPG"}) keep[path(name)] = CachedThumbnail{"/k", 1, 1};
  auto camera = run(Mode::detect(), {"A.JPG", "B.JPG"});
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_TRUE(camera->thumbnailRequests.empty());
  EXPECT_EQ(thumbnailPaths(), (std::vector<std::string>{path("A.JPG"), path("B.JPG")}));
}

TEST_F(ThumbnailsTest, TwoReadsAtATimeWhileEarlierOnesAreMade) {
  auto camera = run(Mode::session(), {"A.JPG", "B.JPG", "C.JPG", "D.JPG"});
  EXPECT_EQ(camera->thumbnailRequests.size(), 2u);
  sim.advance(1);  // A and B read: C asked for while they are made
  EXPECT_EQ(camera->thumbnailRequests.size(), 4u);
  EXPECT_EQ(maker->made, (std::vector<std::string>{path("A.JPG"), path("B.JPG")}));
  sim.advance(10);
  EXPECT_EQ(thumbnailPaths(), (std::vector<std::string>{path("A.JPG"), path("B.JPG"),
                                                        path("C.JPG"), path("D.JPG")}));
  EXPECT_FALSE(sim.exitStatus());  // a session waits for its commands
}

TEST_F(ThumbnailsTest, ThumbnailsCommandMovesThoseStillToComeToTheFrontInItsOrder) {
  struct Row {
    std::string command;
    std::vector<std::string> order;
  };
  const std::vector<std::string> natural{"A", "B", "C", "D", "E"};
  for (const Row& row : std::vector<Row>{
           {R"({"cmd":"thumbnails","paths":["/DCIM/100TEST/E","/DCIM/100TEST/C"]})",
            {"A", "B", "E", "C", "D"}},
           // A and B are being read already, GONE is no item: only D moves.
           {R"({"cmd":"thumbnails","paths":["/DCIM/100TEST/A","/GONE","/DCIM/100TEST/D"]})",
            {"A", "B", "D", "C", "E"}},
           {R"({"cmd":"thumbnails","paths":"/DCIM/100TEST/E"})", natural},
           {R"({"cmd":"thumbnails","paths":[1]})", natural},
           {R"({"cmd":"thumbnails"})", natural},
           {R"({"cmd":"Thumbnails","paths":["/DCIM/100TEST/E"]})", natural}}) {
    SCOPED_TRACE(row.command);
    reset();
    auto camera = run(Mode::session(), natural);
    send(row.command);
    sim.advance(100);
    std::vector<std::string> expected;
    for (const auto& name : row.order) expected.push_back(path(name));
    EXPECT_EQ(camera->thumbnailRequests, expected);
    EXPECT_EQ(thumbnailPaths(), expected);
  }
}

TEST_F(ThumbnailsTest, AnImportTakesTheDeviceAndNoThumbnailFollows) {
  auto camera = run(Mode::session(), {"A.JPG", "B.JPG", "C.JPG", "D.JPG", "E.JPG"});
  sim.advance(1.6);  // A's and B's events written, C and D being read
  EXPECT_EQ(thumbnailPaths(), (std::vector<std::string>{path("A.JPG"), path("B.JPG")}));
  send(R"({"cmd":"import","dest":"/d"})");
  sim.advance(100);
  EXPECT_EQ(camera->thumbnailRequests.size(), 4u);
  EXPECT_EQ(thumbnailPaths(), (std::vector<std::string>{path("A.JPG"), path("B.JPG")}));
  EXPECT_EQ(camera->downloadRequests().size(), 5u);
  EXPECT_EQ(eventTypes().back(), "done");
}

TEST_F(ThumbnailsTest, AnImportAskedForWhileSettlingBeginsWithoutThumbnails) {
  auto maker = std::make_unique<FakeThumbnailMaker>(sim, 0.5);
  startRun(withThumbnails(Mode::session()), std::move(maker));
  auto camera = attachReadyCamera(files({"A.JPG", "B.JPG"}));
  sim.feedInput("{\"cmd\":\"import\",\"dest\":\"/d\"}\n");
  sim.advance(100);
  EXPECT_TRUE(camera->thumbnailRequests.empty());
  EXPECT_EQ(eventTypes(), (std::vector<std::string>{"detected", "item", "item", "progress",
                                                    "progress", "done"}));
}

}  // namespace
}  // namespace picferry::testing
