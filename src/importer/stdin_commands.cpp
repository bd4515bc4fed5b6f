#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "importer/importer.h"

namespace picferry {
namespace {

// No command needs anywhere near this much; a longer line is malformed.
constexpr std::size_t kMaxLineBytes = 1 << 20;
// What stays of an over-long line while its end is awaited: a byte no JSON
// text starts with, so that the line still parses as malformed, in bounded memory.
constexpr char kOverlongLineMark = '\0';

bool isListOfStrings(const nlohmann::json& value) {
  return value.is_array() &&
         std::all_of(value.begin(), value.end(), [](const auto& path) { return path.is_string(); });
}

bool flag(const nlohmann::json& command, const char* key) {
  const auto value = command.find(key);
  return value != command.end() && value->is_boolean() && value->get<bool>();
}

}  // namespace

void Importer::setupStdinReader() {
  platform_.input.start([weak = weak_from_this()](const std::string& chunk) {
    const auto self = weak.lock();
    if (!self) return;
    if (chunk.empty()) self->handleStdinClosed();
    self->handleStdinData(chunk);
  });
}

// Carries out every complete line in order; a malformed line is skipped
// silently, a partial line waits for the rest, and a line longer than
// kMaxLineBytes is malformed.
void Importer::handleStdinData(const std::string& chunk) {
  // Only the new bytes can hold the next line feed: everything before them
  // is an incomplete line.
  std::size_t searchFrom = stdinBuf.size();
  stdinBuf += chunk;
  std::size_t lineStart = 0;
  for (std::size_t newline; (newline = stdinBuf.find('\n', searchFrom)) != std::string::npos;
       searchFrom = lineStart) {
    const std::size_t begin = std::exchange(lineStart, newline + 1);
    if (newline - begin > kMaxLineBytes) continue;
    const auto command = nlohmann::json::parse(stdinBuf.begin() + static_cast<std::ptrdiff_t>(begin),
                                               stdinBuf.begin() + static_cast<std::ptrdiff_t>(newline),
                                               nullptr, /*allow_exceptions=*/false);
    if (!command.is_object()) continue;
    const auto cmd = command.find("cmd");
    if (cmd == command.end() || !cmd->is_string()) continue;
    if (*cmd == "import") {
      const auto destination = command.find("dest");
      const auto chosen = command.find("only");
      std::optional<std::vector<std::string>> only;
      if (chosen != command.end()) {
        if (!isListOfStrings(*chosen)) continue;  // malformed: the command is ignored
        only = chosen->get<std::vector<std::string>>();
      }
      dropThumbnails();
      requestImport({destination != command.end() && destination->is_string()
                         ? platform_.fileSystem.absolutePath(destination->get<std::string>())
                         : dest,
                     flag(command, "skipExisting"), flag(command, "byteProgress"),
                     flag(command, "newOnly"), std::move(only), flag(command, "reasons")});
    } else if (*cmd == "cancel") {
      handleStdinClosed();
    } else if (*cmd == "thumbnails") {
      const auto paths = command.find("paths");
      if (paths == command.end() || !isListOfStrings(*paths)) continue;
      prioritizeThumbnails(paths->get<std::vector<std::string>>());
    }
  }
  stdinBuf.erase(0, lineStart);
  if (stdinBuf.size() > kMaxLineBytes) stdinBuf.assign(1, kOverlongLineMark);
}

void Importer::handleStdinClosed() { stopByRule(); }

}  // namespace picferry
