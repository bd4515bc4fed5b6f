#pragma once

// The destination's side of why a copy fails: the kind of a file-system
// error, and a file that cannot fit, told before a byte of it is read.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/device_error.h"
#include "platform/services.h"

namespace picferry {

// ENOSPC and EDQUOT: destinationFull; EFBIG: tooBigForDestination; any other
// errno: destinationFailed.
FailureCode destinationFailureCode(int err);

// Why a file of `size` bytes, `file` on the device, cannot be copied into
// `directory` with that room: larger than its file system holds in one file,
// or than its free space where it tells one. Nothing when it may fit or its
// size is unknown (negative).
std::optional<DeviceError> roomRefusal(const FileSystemRoom& room, std::int64_t size,
                                       const std::string& file, const std::string& directory);

}  // namespace picferry
