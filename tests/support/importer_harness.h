#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "importer/importer.h"
#include "platform/simulated_platform.h"
#include "support/fake_camera.h"
#include "support/fake_import_record.h"

namespace picferry::testing {

// A controller on the simulated platform with a fake browser, and verbs for
// the steps of a run.
class ImporterTest : public ::testing::Test {
 protected:
  // `thumbnails`: where the controller gets thumbnails (--thumbnails).
  void create(Importer::Mode mode, std::unique_ptr<ThumbnailMaker> thumbnails = nullptr);
  // Drops the controller and starts over with a new simulated platform.
  void reset();
  // Creates and starts the controller, and runs what is due at once (the
  // browser's first look, unless it was told to wait).
  void startRun(Importer::Mode mode, std::unique_ptr<ThumbnailMaker> thumbnails = nullptr);
  // Attaches a camera at the current time; its session request is answered.
  std::shared_ptr<FakeCamera> attachCamera(std::optional<std::string> name = "Test iPhone");
  // Attaches a camera holding `files`, opens it and makes it ready.
  std::shared_ptr<FakeCamera> attachReadyCamera(std::vector<std::shared_ptr<CameraItem>> files);
  // Attaches a ready camera and lets its catalogue settle.
  std::shared_ptr<FakeCamera> settleCatalog(std::vector<std::shared_ptr<CameraItem>> files);

  static std::shared_ptr<FakeFile> file(std::optional<std::string> name, std::int64_t size = 100) {
    return std::make_shared<FakeFile>(std::move(name), size);
  }
  static std::vector<std::shared_ptr<CameraItem>> files(const std::vector<std::string>& names);

  // Every event written so far, parsed.
  std::vector<nlohmann::json> events() const;
  // The "type" of every event, in order.
  std::vector<std::string> eventTypes() const;

  SimulatedPlatform sim;
  FakeBrowser* browser = nullptr;
  FakeImportRecord* record = nullptr;  // the controller's
  std::shared_ptr<Importer> importer;
};

}  // namespace picferry::testing
