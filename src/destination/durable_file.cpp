#include "destination/durable_file.h"

#include <cerrno>
#include <cstring>

#include "destination/failure_code.h"
#include "destination/file_names.h"
#include "platform/paths.h"

namespace picferry {
namespace {

DeviceError unsafeName(const std::string& name) {
  return {"Refusing to save a file as \"" + std::string(name.c_str()) +
              "\": the name must be one file name, without '/'.",
          FailureCode::destinationFailed};
}

}  // namespace

std::unique_ptr<DurableFile> DurableFile::create(DestinationFolder& folder,
                                                 const std::string& label, DeviceError* error) {
  if (!isSafeFileName(label)) {
    *error = unsafeName(label);
    return nullptr;
  }
  int err = 0;
  auto file = folder.createTemporary(&err);
  if (!file) {
    *error = {"Could not create a file in " + folder.path() + ": " + std::strerror(err),
              destinationFailureCode(err)};
    return nullptr;
  }
  return std::unique_ptr<DurableFile>(new DurableFile(folder, std::move(file), label));
}

DurableFile::DurableFile(DestinationFolder& folder, std::unique_ptr<TemporaryFile> file,
                         std::string label)
    : folder_(folder), file_(std::move(file)), name_(std::move(label)) {}

DeviceError DurableFile::errnoError(const std::string& what, int err) const {
  return {what + " " + joinPath(folder_.path(), name_) + ": " + std::strerror(err),
          destinationFailureCode(err)};
}

DeviceError DurableFile::flushFailure(int err) const { return errnoError("Could not flush", err); }

std::optional<DeviceError> DurableFile::fail(DeviceError error) {
  file_.reset();
  return error;
}

std::optional<DeviceError> DurableFile::append(const void* data, std::size_t size) {
  if (!file_) return DeviceError{"The file " + name_ + " was already given up"};
  if (const int err = file_->append(data, size)) return errnoError("Could not write", err);
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::finishWriting(std::int64_t expectedSize,
                                                      std::optional<std::int64_t> mtime) {
  if (!file_ || named_) return DeviceError{"The file " + name_ + " was already finished"};
  std::int64_t size = 0;
  if (const int err = file_->size(&size)) return fail(errnoError("Could not check", err));
  if (expectedSize >= 0 && size != expectedSize) {
    return fail({"The copy of " + name_ + " in " + folder_.path() + " is incomplete: " +
                     std::to_string(size) + " of " + std::to_string(expectedSize) +
                     " bytes arrived (the destination may be full, or the device stopped "
                     "sending); nothing was saved.",
                 FailureCode::incomplete});
  }
  if (mtime) {
    if (const int err = file_->setModificationTime(*mtime)) {
      return fail(errnoError("Could not set the date of", err));
    }
  }
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::flushData() {
  if (!file_ || named_) return DeviceError{"The file " + name_ + " was already finished"};
  if (const int err = file_->flushData()) return fail(flushFailure(err));
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::claimName(const std::string& name,
                                                  std::string* savedName) {
  if (!file_ || named_) return DeviceError{"The file " + name_ + " was already finished"};
  if (!isSafeFileName(name)) return fail(unsafeName(name));
  for (int attempt = 0; attempt < kMaxNumberedNames; ++attempt) {
    std::string candidate = numberedFileName(name, attempt);
    const int err = file_->link(candidate);
    if (err == EEXIST) continue;
    if (err != 0) {
      name_ = name;
      return fail(errnoError("Could not name", err));
    }
    named_ = true;
    name_ = candidate;
    if (savedName) *savedName = candidate;
    return std::nullopt;
  }
  return fail({"Every name like " + name + " is taken in " + folder_.path(),
               FailureCode::namesTaken});
}

std::optional<DeviceError> DurableFile::flushName() {
  if (!named_) return DeviceError{"The file " + name_ + " has no name yet"};
  // The folder first, the file last: a failing XFS answers a folder's flush
  // with success even once it has died, and looks for its own death only at
  // the start of a file's flush; journal-less ext4 writes the file's inode
  // (its new link count) only when the file is flushed. The data were
  // flushed before naming, so what stands under the name is complete either
  // way.
  if (const int err = folder_.flushFolder()) {
    return errnoError("Could not flush the folder entry of", err);
  }
  if (const int err = file_->flush()) return flushFailure(err);
  return std::nullopt;
}

std::optional<DeviceError> DurableFile::commit(std::int64_t expectedSize,
                                               std::optional<std::int64_t> mtime,
                                               std::string* savedName) {
  if (auto failed = finishWriting(expectedSize, mtime)) return failed;
  if (auto failed = flushData()) return failed;
  if (auto failed = claimName(name_, savedName)) return failed;
  return flushName();
}

}  // namespace picferry
