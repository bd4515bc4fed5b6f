#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace picferry {

// Reads the whole file at `path` into `*contents`. Returns, on failure, the
// path and why ("/x/list: No such file or directory"); a file of more than
// `maxBytes` is a failure too.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* contents);

}  // namespace picferry
