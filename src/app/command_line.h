#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "importer/importer.h"

namespace picferry {

// A command line that was rejected: the error event to write, then exit 2.
struct UsageError {
  std::string code;
  std::string message;
};

// The argument after the first occurrence of `name` in `args`, if any.
std::optional<std::string> argValue(const std::vector<std::string>& args, const std::string& name);

// The run mode the argument vector asks for (program path at index 0), or the
// usage error to report. A relative destination is made absolute here. The
// usage line names neither the devices mode nor --device.
std::variant<Importer::Mode, UsageError> parseCommandLine(const std::vector<std::string>& args,
                                                          FileSystem& fileSystem);

}  // namespace picferry
