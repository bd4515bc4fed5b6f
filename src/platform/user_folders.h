#pragma once

#include <optional>
#include <string>

namespace picferry {

// An XDG base folder: `xdgValue` when it is absolute, else `homeDefault`
// inside `home` (".cache", ".local/state"). Relative values are ignored, as
// the XDG rules say; absent when neither is absolute.
std::optional<std::string> xdgBaseFolder(const char* xdgValue, const char* home,
                                         const char* homeDefault);

// $HOME when it is absolute, else the user's home from the password
// database; null when there is none.
const char* userHome();

}  // namespace picferry
