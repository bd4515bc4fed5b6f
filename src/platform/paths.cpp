#include "platform/paths.h"

namespace picferry {

std::string resolvePath(const std::string& path, const std::string& workingDirectory) {
  std::string result = path;
  if (result.empty() || result.front() != '/') {
    result = workingDirectory;
    if (!path.empty()) {
      if (result.empty() || result.back() != '/') result += '/';
      result += path;
    }
  }
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result.empty() ? "/" : result;
}

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

}  // namespace picferry
