#pragma once

// The names files are saved under in a destination folder.

#include <cstddef>
#include <string>

namespace picferry {

// The longest file name, in bytes, that Linux file systems take (NAME_MAX).
constexpr std::size_t kMaxFileNameBytes = 255;

// How many names numberedFileName offers for one file (attempts 0 to this - 1).
constexpr int kMaxNumberedNames = 10000;

// True when `name` is one usable path component: not empty, not "." or "..",
// without '/' or NUL. Anything else could write outside the destination.
bool isSafeFileName(const std::string& name);

// The name tried after `attempt` clashes: 0 gives `name` itself, 1 gives
// "IMG_0001 (1).JPG", 2 "IMG_0001 (2).JPG", ... (the suffix goes before the
// extension; a leading dot does not start an extension). The result never
// exceeds kMaxFileNameBytes: the stem is shortened at a UTF-8 character
// boundary, the extension kept.
std::string numberedFileName(const std::string& name, int attempt);

}  // namespace picferry
