#include "app/command_line.h"

#include <algorithm>

#include "app/import_choice_options.h"

namespace picferry {

std::optional<std::string> argValue(const std::vector<std::string>& args, const std::string& name) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || std::next(it) == args.end()) return std::nullopt;
  return *std::next(it);
}

namespace {

std::variant<Importer::Mode, UsageError> parseModeWord(const std::vector<std::string>& args,
                                                       FileSystem& fileSystem) {
  const std::string cmd = args.size() >= 2 ? args[1] : std::string();
  if (cmd == "detect") return Importer::Mode::detect();
  if (cmd == "import") {
    const auto destination = argValue(args, "--dest");
    if (!destination) return UsageError{"bad_args", "missing --dest"};
    const bool skipExisting =
        std::find(args.begin(), args.end(), "--skip-existing") != args.end();
    return Importer::Mode::importTo(fileSystem.absolutePath(*destination), skipExisting);
  }
  if (cmd == "session") return Importer::Mode::session();
  return UsageError{"bad_command", "usage: picferry detect|import --dest <dir>|session"};
}

}  // namespace

std::variant<Importer::Mode, UsageError> parseCommandLine(const std::vector<std::string>& args,
                                                          FileSystem& fileSystem) {
  auto parsed = parseModeWord(args, fileSystem);
  if (auto* mode = std::get_if<Importer::Mode>(&parsed)) {
    if (auto rejected = parseImportChoice(args, *mode)) return *rejected;
  }
  return parsed;
}

}  // namespace picferry
