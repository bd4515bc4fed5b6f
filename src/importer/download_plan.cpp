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

// A file's turn decides as the plan did unless the import's own copies can
// change what its turn finds: with skipExisting, a name one of its variants
// shares with an earlier planned file. Such a file is never named before it
// is requested.
void Importer::planDownloads() {
  if (!camera) return;
  std::vector<PlannedDownload> plan;
  std::unordered_set<std::string> roots;
  for (std::size_t i = 0; i < queue.size(); ++i) {
    FileTurn turn = decideTurn(*queue[i], static_cast<std::int64_t>(i) + 1);
    if (turn.skip) continue;
    const bool nameAhead = !skipExisting || roots.insert(variantRoot(turn.saveAs)).second;
    plan.push_back({queue[i], std::move(turn.saveAs), nameAhead});
  }
  camera->planDownloads(dest, std::move(plan));
}

}  // namespace picferry
