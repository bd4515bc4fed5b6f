#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "camera/queued_camera_device.h"
#include "camera/worker_thread.h"
#include "platform/main_queue.h"

namespace picferry {

// What every backend's browser shares: the delegate, the device-type mask,
// a thread that polls at once and then about every `interval` from start()
// on, the filter of devices by id, and the posting of additions, removals and
// the end of the first look to the main queue (a posted callback whose
// browser is gone by then does nothing). Public methods are called on the
// main thread.
class PollingBrowser : public DeviceBrowser {
 public:
  void setDelegate(DeviceBrowserDelegate* delegate) override { shared_->delegate = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_.store(mask); }
  void start() override;

 protected:
  PollingBrowser(MainQueue& mainQueue, std::chrono::milliseconds interval, DeviceFilter filter);
  // Derived destructors call stopPolling() first, so that no poll runs on a
  // half-destroyed browser.
  ~PollingBrowser() override;
  void stopPolling();

  // On the polling thread.
  virtual void poll() = 0;

  // Whether the mask asks for locally attached cameras.
  bool browsesLocalCameras() const;
  // Whether the filter takes the device of this id. Any thread.
  bool wanted(const std::string& id) const { return !filter_ || filter_(id); }
  MainQueue& mainQueue() { return mainQueue_; }

  // A device that may be present, by a key that names it for as long as it
  // stays attached, with the way to make it when it is new: nullptr when the
  // filter leaves it out (it is not made again while it stays).
  using Candidate = std::pair<std::string, std::function<std::shared_ptr<QueuedCameraDevice>()>>;
  // Reports the candidates not seen at the last call as added, and the
  // devices no longer among them as removed. Polling thread only.
  void reconcile(const std::vector<Candidate>& present);

  // From any thread, after the additions of every device attached at the
  // start were posted: tells the delegate once.
  void postFirstLookDone();

  // From any thread: the delegate hears of these devices, in order.
  void postAdded(std::vector<std::shared_ptr<QueuedCameraDevice>> devices);
  // Also tells each device it was removed.
  void postRemoved(std::vector<std::shared_ptr<QueuedCameraDevice>> devices);

 private:
  // What posted callbacks may touch; main thread only.
  struct Shared {
    DeviceBrowser* browser = nullptr;
    DeviceBrowserDelegate* delegate = nullptr;
  };

  MainQueue& mainQueue_;
  const std::chrono::milliseconds interval_;
  const DeviceFilter filter_;
  std::atomic<bool> firstLookPosted_{false};
  const std::shared_ptr<Shared> shared_;
  std::atomic<unsigned> mask_{0};
  std::vector<std::pair<std::string, std::shared_ptr<QueuedCameraDevice>>> known_;  // polling thread
  std::unique_ptr<Ticker> ticker_;  // main thread
};

}  // namespace picferry
