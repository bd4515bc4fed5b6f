#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/paths.h"

namespace picferry {
namespace {

bool isAbsolute(const char* path) { return path && path[0] == '/'; }

}  // namespace

std::optional<std::string> xdgBaseFolder(const char* xdgValue, const char* home,
                                         const char* homeDefault) {
  if (isAbsolute(xdgValue)) return std::string(xdgValue);
  if (isAbsolute(home)) return joinPath(home, homeDefault);
  return std::nullopt;
}

const char* userHome() {
  const char* home = std::getenv("HOME");
  if (isAbsolute(home)) return home;
  const passwd* user = getpwuid(getuid());
  return user ? user->pw_dir : nullptr;
}

}  // namespace picferry
