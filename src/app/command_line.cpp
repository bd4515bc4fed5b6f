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

bool contains(const std::vector<std::string>& args, const std::string& word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

// The device asked for by --device: the value after it; as the last
// argument, the empty id, which no device has.
std::optional<std::string> wantedDevice(const std::vector<std::string>& args) {
  if (!contains(args, "--device")) return std::nullopt;
  return argValue(args, "--device").value_or("");
}

std::variant<Importer::Mode, UsageError> parseModeWord(const std::vector<std::string>& args,
                                                       FileSystem& fileSystem) {
  const std::string cmd = args.size() >= 2 ? args[1] : std::string();
  if (cmd == "detect") return Importer::Mode::detect().onlyDevice(wantedDevice(args));
  if (cmd == "import") {
    const auto destination = argValue(args, "--dest");
    if (!destination) return UsageError{"bad_args", "missing --dest"};
    return Importer::Mode::importTo(fileSystem.absolutePath(*destination),
                                    contains(args, "--skip-existing"),
                                    contains(args, "--byte-progress"))
        .onlyDevice(wantedDevice(args));
  }
  if (cmd == "session") return Importer::Mode::session().onlyDevice(wantedDevice(args));
  if (cmd == "devices") return Importer::Mode::devices();
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
