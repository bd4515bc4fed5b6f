#include "record/record_location.h"

#include <cstdlib>

#include "platform/paths.h"
#include "platform/user_folders.h"

namespace picferry {

std::optional<std::string> importRecordPath(const char* xdgStateHome, const char* home) {
  const auto stateHome = xdgBaseFolder(xdgStateHome, home, ".local/state");
  if (!stateHome) return std::nullopt;
  return joinPath(joinPath(*stateHome, "picferry"), "imported.sqlite");
}

std::optional<std::string> importRecordPathFromEnvironment() {
  return importRecordPath(std::getenv("XDG_STATE_HOME"), userHome());
}

}  // namespace picferry
