// The command-line parser on arbitrary argument vectors: the input split at
// its NUL bytes, program path first. Checked against a reference written from
// the README: the mode word is args[1], compared exactly; "import" needs
// "--dest" followed by a value among the arguments after it, takes the value
// after the first "--dest", made absolute against the working directory
// ("/work" on the simulated platform) with trailing slashes dropped, and
// skips existing files when "--skip-existing" is among those arguments, and
// ends with "bad_args" naming the list when "--only" has none it can read;
// "detect", "import" and "session" want the device named by the value after
// the first "--device" (the empty id when it is the last argument), none
// without it; "devices" wants none; any other result is one of the two usage
// errors, exactly.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "platform/simulated_platform.h"

namespace {

using picferry::Importer;
using picferry::UsageError;

[[noreturn]] void fail(const char* what, const std::vector<std::string>& args) {
  std::fprintf(stderr, "check failed: %s\nargs (%zu):", what, args.size());
  for (const auto& arg : args) std::fprintf(stderr, " [%s]", arg.c_str());
  std::fprintf(stderr, "\n");
  std::abort();
}

#define CHECK(condition)                      \
  do {                                        \
    if (!(condition)) fail(#condition, args); \
  } while (false)

std::string expectedDestination(const std::string& given) {
  std::string path = !given.empty() && given.front() == '/' ? given
                     : given.empty()                        ? std::string("/work")
                                                            : "/work/" + given;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }

  picferry::SimulatedPlatform fileSystem;
  const auto result = picferry::parseCommandLine(args, fileSystem);

  const std::string word = args.size() >= 2 ? args[1] : std::string();
  // Options are looked for in the whole vector, the program path included,
  // so that a caller's argument vector is read the same way whatever it holds.
  const auto optionsBegin = args.begin();
  const auto dest = std::find(optionsBegin, args.end(), std::string("--dest"));
  const auto device = std::find(optionsBegin, args.end(), std::string("--device"));
  std::optional<std::string> wantedDevice;
  if (device != args.end()) wantedDevice = device + 1 == args.end() ? "" : *(device + 1);

  if (const auto* error = std::get_if<UsageError>(&result)) {
    const bool badCommand = error->code == "bad_command" &&
                            error->message == "usage: picferry detect|import --dest <dir>|session";
    const bool badArgs = error->code == "bad_args" && error->message == "missing --dest";
    // An --only LIST that is missing or cannot be read (on the simulated
    // platform no file can): the message names it.
    const bool badList = error->code == "bad_args" &&
                         (error->message == "missing LIST after --only" ||
                          error->message.rfind("Couldn't read the list of paths ", 0) == 0);
    CHECK(badCommand || badArgs || badList);
    if (badList) {
      CHECK(word == "import" && dest != args.end() && dest + 1 != args.end());
      CHECK(std::find(optionsBegin, args.end(), std::string("--only")) != args.end());
    }
    if (badCommand) {
      CHECK(word != "detect" && word != "import" && word != "session" && word != "devices");
    }
    if (badArgs) CHECK(word == "import" && (dest == args.end() || dest + 1 == args.end()));
    return 0;
  }

  const auto& mode = std::get<Importer::Mode>(result);
  CHECK(mode.deviceId ==
        (mode.kind == Importer::Mode::Kind::devices ? std::nullopt : wantedDevice));
  switch (mode.kind) {
    case Importer::Mode::Kind::devices:
      CHECK(word == "devices");
      CHECK(mode.dest == "/" && !mode.skipExisting);
      break;
    case Importer::Mode::Kind::detect:
      CHECK(word == "detect");
      CHECK(mode.dest == "/" && !mode.skipExisting);
      break;
    case Importer::Mode::Kind::session:
      CHECK(word == "session");
      CHECK(mode.dest == "/" && !mode.skipExisting);
      break;
    case Importer::Mode::Kind::importTo:
      CHECK(word == "import");
      CHECK(!mode.dest.empty() && mode.dest.front() == '/');
      CHECK(dest != args.end() && dest + 1 != args.end());
      CHECK(mode.dest == expectedDestination(*(dest + 1)));
      CHECK(mode.skipExisting ==
            (std::find(optionsBegin, args.end(), std::string("--skip-existing")) != args.end()));
      break;
  }
  return 0;
}
