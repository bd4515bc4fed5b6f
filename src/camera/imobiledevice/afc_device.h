#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "camera/camera.h"
#include "camera/imobiledevice/afc_file.h"
#include "camera/imobiledevice/afc_session.h"
#include "camera/queued_camera_device.h"
#include "platform/main_queue.h"

namespace picferry {

// A phone reached through usbmuxd, lockdownd and AFC. Every library call on
// it runs on its worker thread. markDetached may be called from any thread,
// the destructor from any thread but the worker.
class AfcDevice final : public ThreadedCameraDevice<AfcFile> {
 public:
  // A listing call that answers nothing for this long fails the catalogue
  // (a phone answers each in well under a millisecond).
  static constexpr std::chrono::seconds kListingStallLimit{10};

  // `name`: what the phone calls itself before it trusts the computer, if known.
  AfcDevice(MainQueue& mainQueue, std::string udid, std::optional<std::string> name);
  ~AfcDevice() override;

  const std::string& udid() const { return udid_; }
  // The phone was unplugged: downloads not yet started fail at once.
  void markDetached() { detached_.store(true); }

 private:
  // On the worker (afc_device.cpp, afc_catalogue.cpp, afc_download.cpp).
  void openSession() override;
  std::optional<DeviceError> listFolder(const std::string& folder, FolderContents* out);
  std::optional<DeviceError> copyInto(const AfcFile& file, DurableFile& out,
                                      const std::atomic<bool>& abandoned) override;
  ThumbnailSource thumbnailSourceOf(const AfcFile& file) override;  // afc_thumbnail.cpp

  const std::string udid_;
  std::atomic<bool> detached_{false};

  // Worker thread only (and the destructor, once the worker is gone).
  std::unique_ptr<AfcSession> session_;
};

}  // namespace picferry
