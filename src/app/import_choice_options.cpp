#include "app/import_choice_options.h"

#include <algorithm>

#include "platform/read_file.h"

namespace picferry {
namespace {

// No list of paths comes near this; /dev/zero would never end.
constexpr std::size_t kMaxListBytes = 64 << 20;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::optional<UsageError> parseImportChoice(const std::vector<std::string>& args,
                                            Importer::Mode& mode) {
  const auto afterMode = args.size() > 2 ? args.begin() + 2 : args.end();
  const auto find = [&](const char* word) { return std::find(afterMode, args.end(), word); };
  using Kind = Importer::Mode::Kind;
  if (mode.kind == Kind::detect || mode.kind == Kind::session) {
    mode.items = find("--items") != args.end();
    mode.thumbnails = mode.items && find("--thumbnails") != args.end();
  }
  if (mode.kind != Kind::importTo) return std::nullopt;
  mode.newOnly = find("--new-only") != args.end();
  mode.reasons = find("--reasons") != args.end();
  const auto only = find("--only");
  if (only == args.end()) return std::nullopt;
  if (std::next(only) == args.end()) return UsageError{"bad_args", "missing LIST after --only"};
  std::string text;
  if (auto failed = readWholeFile(*std::next(only), kMaxListBytes, &text)) {
    return UsageError{"bad_args", "Couldn't read the list of paths " + *failed};
  }
  mode.only = linesOf(text);
  return std::nullopt;
}

}  // namespace picferry
