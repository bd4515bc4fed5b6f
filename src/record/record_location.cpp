#include "record/record_location.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/paths.h"

namespace picferry {
namespace {

bool isAbsolute(const char* path) { return path && path[0] == '/'; }

}  // namespace

std::optional<std::string> importRecordPath(const char* xdgStateHome, const char* home) {
  std::string stateHome;
  if (isAbsolute(xdgStateHome)) {
    stateHome = xdgStateHome;
  } else if (isAbsolute(home)) {
    stateHome = joinPath(home, ".local/state");
  } else {
    return std::nullopt;
  }
  return joinPath(joinPath(stateHome, "picferry"), "imported.sqlite");
}

std::optional<std::string> importRecordPathFromEnvironment() {
  const char* home = std::getenv("HOME");
  if (!isAbsolute(home)) {
    const passwd* user = getpwuid(getuid());
    home = user ? user->pw_dir : nullptr;
  }
  return importRecordPath(std::getenv("XDG_STATE_HOME"), home);
}

}  // namespace picferry
