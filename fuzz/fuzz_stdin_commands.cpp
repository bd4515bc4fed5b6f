// Standard input of a session: arbitrary bytes, cut into arbitrary chunks that
// arrive at arbitrary virtual times, reach a session-mode Importer on the
// simulated platform with a fake camera; then the input ends. Checked: the run
// ends (bounded virtual time), every output line is a JSON object of a type an
// accepted "import" or "cancel" can cause, in a consistent order, and without
// such a command nothing but the catalogue report is written.
//
// Input layout:
//   byte 0      bits 0-2: number of files on the camera (mod 6)
//               bits 3-5: virtual time before the first chunk (kFeedStarts)
//               bits 6-7: how long each download takes (kDownloadDelays)
//   byte 1      which names the files get (rotates kNames)
//   bytes 2-5   chunk specs, used in turn: bits 0-5 the chunk size (0: all the
//               rest), bits 6-7 the virtual pause after the chunk
//   the rest    the bytes written to standard input

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "importer/importer.h"
#include "platform/simulated_platform.h"
#include "support/fake_camera.h"
#include "support/fake_import_record.h"

namespace {

using picferry::Importer;
using picferry::SimulatedPlatform;
using picferry::testing::FakeBrowser;
using picferry::testing::FakeCamera;
using picferry::testing::FakeFile;
using picferry::testing::FakeImportRecord;

constexpr std::size_t kHeaderSize = 6;
// The catalogue settles 3 s after the camera is ready (at 0), or at 39 s when it is empty.
constexpr double kFeedStarts[] = {0, 0.5, 2, 2.9, 3, 3.5, 10, 45};
constexpr double kDownloadDelays[] = {0, 0.5, 2, 5};
constexpr double kChunkPauses[] = {0, 0.75, 1.5, 2.25};
// "F.JPG" fails to download; "/photos" holds "A.JPG", "B.MOV" (a folder) and
// "file-2", so skipping is exercised; "/readonly" and "/work/taken/..." cannot be created.
const std::optional<std::string> kNames[] = {"A.JPG", std::nullopt, "B.MOV", "F.JPG",
                                             "..",    "dir/C.PNG",  "",      "A.JPG"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
// After the end of input the run must have ended within this much virtual time.
constexpr double kRunOutSeconds = 600;

[[noreturn]] void fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "check failed: %s\noutput:\n%s\n", what, output.c_str());
  std::abort();
}

#define CHECK(condition)                              \
  do {                                                \
    if (!(condition)) fail(#condition, sim.output()); \
  } while (false)

// Whether `line` is a JSON object whose "cmd" is "import" or "cancel": the
// only lines that may make the session write anything after its report.
bool isAcceptedCommand(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return false;
  const auto cmd = json.find("cmd");
  return cmd != json.end() && cmd->is_string() && (*cmd == "import" || *cmd == "cancel");
}

// Every line of the input, the unterminated last one included (counting it
// only widens what is allowed).
bool holdsAcceptedCommand(const std::string& input) {
  std::size_t begin = 0;
  while (begin <= input.size()) {
    std::size_t end = input.find('\n', begin);
    if (end == std::string::npos) end = input.size();
    if (isAcceptedCommand(input.substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

// An "only" that is not an array of strings makes an import line malformed:
// it is ignored like any other malformed line.
bool hasMalformedOnly(const nlohmann::json& command) {
  const auto only = command.find("only");
  if (only == command.end()) return false;
  if (!only->is_array()) return true;
  return std::any_of(only->begin(), only->end(),
                     [](const auto& path) { return !path.is_string(); });
}

// Whether a line-feed-terminated "import" line comes before any "cancel"
// line: exactly when an import must have begun once the catalogue is reported
// (the end of input stops the run only after every complete line).
bool importBeforeCancel(const std::string& input) {
  for (std::size_t begin = 0, end; (end = input.find('\n', begin)) != std::string::npos;
       begin = end + 1) {
    const auto json = nlohmann::json::parse(input.substr(begin, end - begin), nullptr,
                                            /*allow_exceptions=*/false);
    if (!json.is_object() || !json.contains("cmd")) continue;
    if (json["cmd"] == "cancel") return false;
    if (json["cmd"] == "import" && !hasMalformedOnly(json)) return true;
  }
  return false;
}

// Whether some line chooses the files to import (an "only" list of strings):
// the import may then take any of the catalogue's files, and count chosen
// paths it does not hold.
bool choosesFiles(const std::string& input) {
  for (std::size_t begin = 0, end; (end = input.find('\n', begin)) != std::string::npos;
       begin = end + 1) {
    const auto json = nlohmann::json::parse(input.substr(begin, end - begin), nullptr,
                                            /*allow_exceptions=*/false);
    if (json.is_object() && json.contains("only") && json["only"].is_array()) return true;
  }
  return false;
}

bool isInteger(const nlohmann::json& event, const char* key) {
  const auto value = event.find(key);
  return value != event.end() && value->is_number_integer();
}

bool isString(const nlohmann::json& event, const char* key) {
  const auto value = event.find(key);
  return value != event.end() && value->is_string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  const std::size_t fileCount = (data[0] & 7) % 6;
  const double feedStart = kFeedStarts[(data[0] >> 3) & 7];
  const double downloadDelay = kDownloadDelays[data[0] >> 6];
  const std::uint8_t* chunkSpecs = data + 2;
  const std::string input(reinterpret_cast<const char*>(data + kHeaderSize), size - kHeaderSize);

  // Declared first so that it outlives the controller and the camera.
  SimulatedPlatform sim;
  sim.addFile("/work/taken");
  sim.addFile("/photos/A.JPG");
  sim.addDirectory("/photos/B.MOV");
  sim.addFile("/photos/file-2");
  sim.failCreationOf("/readonly", "Couldn't create the folder \"/readonly\": Permission denied");

  std::vector<std::shared_ptr<picferry::CameraItem>> items;
  std::vector<std::optional<std::string>> names;
  std::int64_t totalBytes = 0;
  for (std::size_t i = 0; i < fileCount; ++i) {
    names.push_back(kNames[(data[1] + i) % kNameCount]);
    const std::int64_t fileSize = 100 * static_cast<std::int64_t>(i + 1);
    totalBytes += fileSize;
    items.push_back(std::make_shared<FakeFile>(names.back(), fileSize));
  }

  auto browserOwned = std::make_unique<FakeBrowser>(sim);
  FakeBrowser& browser = *browserOwned;
  auto importer = std::make_shared<Importer>(Importer::Mode::session(), std::move(browserOwned),
                                             sim.services(), std::make_unique<FakeImportRecord>());
  sim.call([&] { importer->start(); });
  auto camera = std::make_shared<FakeCamera>(sim, "Fuzz Camera");
  camera->setClock([&sim] { return sim.now(); });
  camera->downloadDelay = downloadDelay;
  camera->failingNames = {"F.JPG"};
  browser.attach(camera);
  sim.runDue();
  camera->addItems(items);
  camera->becomeReady();
  sim.runDue();
  sim.advance(feedStart);

  std::size_t offset = 0;
  for (std::size_t k = 0; offset < input.size(); ++k) {
    const std::uint8_t chunkCode = chunkSpecs[k % 4];
    const std::size_t wanted = chunkCode & 0x3F;
    const std::size_t length =
        wanted == 0 ? input.size() - offset : std::min(wanted, input.size() - offset);
    sim.feedInput(input.substr(offset, length));
    offset += length;
    sim.advance(kChunkPauses[chunkCode >> 6]);
  }
  sim.closeInput();
  sim.advance(kRunOutSeconds);

  // The end of input ends every session.
  CHECK(sim.exitStatus().has_value());
  const int status = *sim.exitStatus();
  CHECK(status == 0 || status == 1);
  CHECK(sim.output().empty() || sim.output().back() == '\n');

  std::vector<nlohmann::json> events;
  for (const auto& line : sim.outputLines()) {
    auto event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    CHECK(event.is_object());
    CHECK(isString(event, "type"));
    events.push_back(std::move(event));
  }

  const bool chosen = choosesFiles(input);
  std::size_t progressCount = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const auto& event = events[i];
    const std::string type = event["type"];
    const bool last = i + 1 == events.size();
    if (type == "detected") {
      // The report of the settled catalogue comes first, once.
      CHECK(i == 0);
      CHECK(event.size() == 4);
      CHECK(isString(event, "device") && event["device"] == "Fuzz Camera");
      CHECK(isInteger(event, "itemCount") && event["itemCount"] == fileCount);
      CHECK(isInteger(event, "totalBytes") && event["totalBytes"] == totalBytes);
    } else if (type == "progress") {
      // One per file handled, in catalogue order, after the report.
      CHECK(events[0]["type"] == "detected");
      CHECK(event.size() == 4);
      ++progressCount;
      CHECK(isInteger(event, "done") && event["done"] == progressCount);
      CHECK(isInteger(event, "total") && event["total"] >= progressCount);
      CHECK(isString(event, "name"));
      if (chosen) continue;
      CHECK(progressCount <= fileCount);
      CHECK(event["total"] == fileCount);
      const auto& name = names[progressCount - 1];
      // A nameless file is reported as "file", or under its saved name "file-N" when skipped.
      CHECK(name ? event["name"] == *name
                 : (event["name"] == "file" ||
                    event["name"] == "file-" + std::to_string(progressCount)));
    } else if (type == "done") {
      // The summary ends the run, counting every file reported.
      CHECK(last && status == 0);
      CHECK(events[0]["type"] == "detected");
      CHECK(event.size() == 5);
      CHECK(isInteger(event, "downloaded") && isInteger(event, "skipped") &&
            isInteger(event, "unavailable"));
      CHECK(event["downloaded"].get<std::int64_t>() >= 0 &&
            event["skipped"].get<std::int64_t>() >= 0 &&
            event["unavailable"].get<std::int64_t>() >= 0);
      CHECK(event["downloaded"].get<std::int64_t>() + event["skipped"].get<std::int64_t>() +
                event["unavailable"].get<std::int64_t>() ==
            static_cast<std::int64_t>(progressCount));
      CHECK(isString(event, "dest") && event["dest"].get<std::string>().starts_with("/"));
    } else if (type == "error") {
      // Only the import's destination can fail, before any file is handled.
      CHECK(last && status == 1);
      CHECK(progressCount == 0);
      CHECK(event.size() == 3);
      CHECK(isString(event, "code") && event["code"] == "dest_unwritable");
      CHECK(isString(event, "message"));
    } else {
      fail("an event type a session command cannot cause", sim.output());
    }
  }
  if (status == 1) CHECK(!events.empty() && events.back()["type"] == "error");
  if (progressCount > 0) CHECK(events.back()["type"] == "done");

  const bool reported = !events.empty() && events[0]["type"] == "detected";
  const bool imported =
      !events.empty() && (events.back()["type"] == "done" || events.back()["type"] == "error");
  // Reported and asked for: the import began, so the run ended with its summary or its error.
  if (reported && importBeforeCancel(input)) CHECK(imported);
  // Progress, a summary or an error only come from an import that was asked for.
  if (imported || progressCount > 0) CHECK(importBeforeCancel(input));

  if (!holdsAcceptedCommand(input)) {
    CHECK(status == 0);
    CHECK(events.empty() || (events.size() == 1 && events[0]["type"] == "detected"));
  }
  return 0;
}
