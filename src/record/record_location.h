#pragma once

#include <optional>
#include <string>

namespace picferry {

// Where the record lives: $XDG_STATE_HOME/picferry/imported.sqlite, or
// $HOME/.local/state/picferry/imported.sqlite when XDG_STATE_HOME is unset,
// empty or relative (XDG base directories ignore a relative
// one). Absent when neither gives an absolute folder.
std::optional<std::string> importRecordPath(const char* xdgStateHome, const char* home);

// The same, from this process's environment (HOME falling back on the
// password database).
std::optional<std::string> importRecordPathFromEnvironment();

}  // namespace picferry
