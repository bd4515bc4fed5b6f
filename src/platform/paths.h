#pragma once

#include <string>

namespace picferry {

// `path` made absolute against `workingDirectory`, literally: no tilde or
// variable expansion, no resolving of "..". Trailing slashes are dropped
// (the root excepted); an empty path is the working directory.
std::string resolvePath(const std::string& path, const std::string& workingDirectory);

// `name` inside `directory`: exactly one '/' between them ("/" + "a" is "/a").
std::string joinPath(const std::string& directory, const std::string& name);

}  // namespace picferry
