#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "destination/durable_file.h"
#include "thumbnails/thumbnail_source.h"

namespace picferry {

// What AFC says of one path.
struct AfcStat {
  bool isDirectory = false;
  bool isRegularFile = false;
  std::int64_t size = 0;
  std::optional<std::int64_t> mtime;  // seconds since the epoch
};

// A trusted session with a phone's file service (AFC), reached through
// usbmuxd and lockdownd. Not thread-safe: use from one thread (the device's
// worker). Once the connection is lost, every call fails at once.
class AfcSession {
 public:
  // Opens the lockdown session step by step so that the phone's reason for
  // refusing survives: on failure returns nullptr and sets `*error` to a
  // sentence telling the person what to do. A phone that forgot this
  // computer is unpaired and paired again once. `*name` receives the name
  // the phone's owner gave it, when the phone tells it (even when refusing).
  static std::unique_ptr<AfcSession> open(const std::string& udid, std::optional<std::string>* name,
                                          DeviceError* error);
  // The name the phone's owner gave it, asked without pairing or a session:
  // a phone tells it even while locked or before it trusts the computer.
  static std::optional<std::string> nameWithoutTrust(const std::string& udid);
  ~AfcSession();
  AfcSession(const AfcSession&) = delete;
  AfcSession& operator=(const AfcSession&) = delete;

  // Appends the entries of a directory, without "." and "..", to `names`.
  std::optional<DeviceError> listDirectory(const std::string& path,
                                           std::vector<std::string>* names);
  std::optional<AfcStat> stat(const std::string& path);
  // Appends the whole file at `path` to `out`, read in large chunks; stops,
  // with an error, once `abandoned` is set.
  std::optional<DeviceError> read(const std::string& path, DurableFile& out,
                                  const std::atomic<bool>& abandoned);

  // What the file at `path`, of `size` bytes, offers towards its thumbnail,
  // read with seeks and partial reads (afc_thumbnail.cpp).
  ThumbnailSource thumbnailSource(const std::string& path, std::int64_t size);

  bool connectionLost() const { return lost_; }

 private:
  AfcSession(idevice_t device, afc_client_t afc) : device_(device), afc_(afc) {}
  // Notes a failure that means the phone is gone.
  void noteFailure(afc_error_t error);
  FailureCode failureCode(afc_error_t error) const;

  idevice_t device_;
  afc_client_t afc_;
  bool lost_ = false;
};

}  // namespace picferry
