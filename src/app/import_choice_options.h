#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace picferry {

// Reads --items (with --thumbnails), --new-only, --reasons and --only LIST
// (anywhere after the mode word) into `mode`. A LIST that cannot be read is a
// usage error naming the file and why. LIST: device paths, one a line ("\n"),
// empty lines ignored.
std::optional<UsageError> parseImportChoice(const std::vector<std::string>& args,
                                            Importer::Mode& mode);

}  // namespace picferry
