#include "support/importer_harness.h"

namespace picferry::testing {

void ImporterTest::create(Importer::Mode mode, std::unique_ptr<ThumbnailMaker> thumbnails) {
  auto fakeBrowser = std::make_unique<FakeBrowser>(sim);
  browser = fakeBrowser.get();
  auto fakeRecord = std::make_unique<FakeImportRecord>();
  record = fakeRecord.get();
  importer = std::make_shared<Importer>(std::move(mode), std::move(fakeBrowser), sim.services(),
                                        std::move(fakeRecord), std::move(thumbnails));
}

void ImporterTest::reset() {
  importer.reset();
  browser = nullptr;
  record = nullptr;
  sim = SimulatedPlatform();
}

void ImporterTest::startRun(Importer::Mode mode, std::unique_ptr<ThumbnailMaker> thumbnails) {
  create(std::move(mode), std::move(thumbnails));
  sim.call([this] { importer->start(); });
  sim.runDue();
}

std::shared_ptr<FakeCamera> ImporterTest::attachCamera(std::optional<std::string> name) {
  auto camera = std::make_shared<FakeCamera>(sim, std::move(name));
  camera->setClock([this] { return sim.now(); });
  browser->attach(camera);
  sim.runDue();
  return camera;
}

std::shared_ptr<FakeCamera> ImporterTest::attachReadyCamera(
    std::vector<std::shared_ptr<CameraItem>> items) {
  auto camera = attachCamera();
  camera->addItems(std::move(items));
  camera->becomeReady();
  sim.runDue();
  return camera;
}

std::shared_ptr<FakeCamera> ImporterTest::settleCatalog(
    std::vector<std::shared_ptr<CameraItem>> items) {
  auto camera = attachReadyCamera(std::move(items));
  sim.advance(Importer::settleQuietSeconds);
  return camera;
}

std::vector<std::shared_ptr<CameraItem>> ImporterTest::files(const std::vector<std::string>& names) {
  std::vector<std::shared_ptr<CameraItem>> result;
  for (const auto& name : names) result.push_back(file(name));
  return result;
}

std::vector<nlohmann::json> ImporterTest::events() const {
  std::vector<nlohmann::json> result;
  for (const auto& line : sim.outputLines()) result.push_back(nlohmann::json::parse(line));
  return result;
}

std::vector<std::string> ImporterTest::eventTypes() const {
  std::vector<std::string> result;
  for (const auto& event : events()) result.push_back(event.at("type"));
  return result;
}

}  // namespace picferry::testing
