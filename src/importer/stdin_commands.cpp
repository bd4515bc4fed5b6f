#include <nlohmann/json.hpp>

#include "importer/importer.h"

namespace picferry {

void Importer::setupStdinReader() {
  platform_.input.start([weak = weak_from_this()](const std::string& chunk) {
    const auto self = weak.lock();
    if (!self) return;
    if (chunk.empty()) self->handleStdinClosed();
    self->handleStdinData(chunk);
  });
}

// Carries out every complete line in order; a malformed line is skipped
// silently, a partial line waits for the rest.
void Importer::handleStdinData(const std::string& chunk) {
  // Only the new bytes can hold the next line feed: everything before them
  // is an incomplete line.
  std::size_t searchFrom = stdinBuf.size();
  stdinBuf += chunk;
  std::size_t lineStart = 0;
  for (std::size_t newline; (newline = stdinBuf.find('\n', searchFrom)) != std::string::npos;
       searchFrom = lineStart) {
    const auto command = nlohmann::json::parse(stdinBuf.begin() + static_cast<std::ptrdiff_t>(lineStart),
                                               stdinBuf.begin() + static_cast<std::ptrdiff_t>(newline),
                                               nullptr, /*allow_exceptions=*/false);
    lineStart = newline + 1;
    if (!command.is_object()) continue;
    const auto cmd = command.find("cmd");
    if (cmd == command.end() || !cmd->is_string()) continue;
    if (*cmd == "import") {
      const auto destination = command.find("dest");
      const auto skip = command.find("skipExisting");
      requestImport(destination != command.end() && destination->is_string()
                        ? platform_.fileSystem.absolutePath(destination->get<std::string>())
                        : dest,
                    skip != command.end() && skip->is_boolean() && skip->get<bool>());
    } else if (*cmd == "cancel") {
      handleStdinClosed();
    }
  }
  stdinBuf.erase(0, lineStart);
}

void Importer::handleStdinClosed() { stopByRule(); }

}  // namespace picferry
