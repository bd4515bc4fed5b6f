#include "app/command_line.h"

#include <algorithm>

namespace picferry {

std::optional<std::string> argValue(const std::vector<std::string>& args, const std::string& name) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || std::next(it) == args.end()) return std::nullopt;
  return *std::next(it);
}

std::variant<Importer::Mode, UsageError> parseCommandLine(const std::vector<std::string>& args,
                                                          FileSystem& fileSystem) {
  const std::string cmd = args.size() >= 2 ? args[1] : std::string();
  if (cmd == "detect") return Importer::Mode::detect();
  if (cmd == "import") {
    const auto destination = argValue(args, "--dest");
    if (!destination) return UsageError{"bad_args", "missing --dest"};
    const auto given = [&](const char* flag) {
      return std::find(args.begin(), args.end(), flag) != args.end();
    };
    return Importer::Mode::importTo(fileSystem.absolutePath(*destination), given("--skip-existing"),
                                    given("--byte-progress"));
  }
  if (cmd == "session") return Importer::Mode::session();
  return UsageError{"bad_command", "usage: picferry detect|import --dest <dir>|session"};
}

}  // namespace picferry
