#include "destination/failure_code.h"

#include <cerrno>
#include <cstring>

namespace picferry {
namespace {

DeviceError refusal(int err, const std::string& file, const std::string& directory,
                    const std::string& detail) {
  return {"Could not copy " + file + " into " + directory + ": " + std::strerror(err) + " (" +
              detail + "); nothing was read from the device.",
          destinationFailureCode(err)};
}

}  // namespace

FailureCode destinationFailureCode(int err) {
  switch (err) {
    case ENOSPC:
    case EDQUOT:
      return FailureCode::destinationFull;
    case EFBIG:
      return FailureCode::tooBigForDestination;
    default:
      return FailureCode::destinationFailed;
  }
}

std::optional<DeviceError> roomRefusal(const FileSystemRoom& room, std::int64_t size,
                                       const std::string& file, const std::string& directory) {
  const std::string bytes = std::to_string(size) + " bytes";
  if (room.largestFile && size > *room.largestFile) {
    return refusal(EFBIG, file, directory,
                   bytes + ", where its file system holds " +
                       std::to_string(*room.largestFile) + " bytes at most in one file");
  }
  if (room.freeBytes && size > *room.freeBytes) {
    return refusal(ENOSPC, file, directory,
                   bytes + ", with " + std::to_string(*room.freeBytes) + " bytes free");
  }
  return std::nullopt;
}

}  // namespace picferry
