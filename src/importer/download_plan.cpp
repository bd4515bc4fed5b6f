// The files an import will request, known once the catalogue is final and
// the choice made, so that the device copies ahead exactly those.

#include <cctype>
#include <unordered_set>

#include "importer/importer.h"

namespace picferry {
namespace {

// What a name and each of its numbered variants share ("IMG_0001 (2).JPG"
// -> "img_0001.jpg"), in the case FAT and exFAT ignore.
std::string variantRoot(const std::string& name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  std::string stem = name.substr(0, dot);
  if (stem.ends_with(")")) {
    const std::size_t open = stem.rfind(" (");
    if (open != std::string::npos &&
        stem.find_first_not_of("0123456789", open + 2) == stem.size() - 1) {
      stem.erase(open);
    }
  }
  std::string root = stem + name.substr(dot);
  for (char& c : root) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return root;
}

}  // namespace

// A file's turn is decided up front unless the import's own copies can change
// what its turn would find: with skipExisting, a name one of whose variants
// an earlier planned file may take. Skips are always final (an import only
// adds files). A file decided up front may be named before it is requested.
void Importer::planDownloads() {
  std::vector<PlannedDownload> plan;
  std::unordered_set<std::string> roots;
  plannedTurns.assign(queue.size(), std::nullopt);
  for (std::size_t i = 0; i < queue.size(); ++i) {
    FileTurn turn = decideTurn(*queue[i], static_cast<std::int64_t>(i) + 1);
    const bool decided = turn.skip || !skipExisting || roots.insert(variantRoot(turn.saveAs)).second;
    if (!turn.skip && !turn.unfit) plan.push_back({queue[i], turn.saveAs, decided});
    if (decided) plannedTurns[i] = std::move(turn);
  }
  if (camera) camera->planDownloads(dest, std::move(plan));
}

}  // namespace picferry
