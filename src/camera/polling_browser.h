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
// on, and the posting of additions and removals to the main queue (a posted
// callback whose browser is gone by then does nothing). Public methods are
// called on the main thread.
class PollingBrowser : public DeviceBrowser {
 public:
  void setDelegate(DeviceBrowserDelegate* delegate) override { shared_->delegate = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_.store(mask); }
  void start() override;

 protected:
  PollingBrowser(MainQueue& mainQueue, std::chrono::milliseconds interval);
  // Derived destructors call stopPolling() first, so that no poll runs on a
  // half-destroyed browser.
  ~PollingBrowser() override;
  void stopPolling();

  // On the polling thread.
  virtual void poll() = 0;

  // Whether the mask asks for locally attached cameras.
  bool browsesLocalCameras() const;
  MainQueue& mainQueue() { return mainQueue_; }

  // A device that may be present, by a key that names it for as long as it
  // stays attached, with the way to make it when it is new.
  using Candidate = std::pair<std::string, std::function<std::shared_ptr<QueuedCameraDevice>()>>;
  // Reports the candidates not seen at the last call as added, and the
  // devices no longer among them as removed. Polling thread only.
  void reconcile(const std::vector<Candidate>& present);

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
  const std::shared_ptr<Shared> shared_;
  std::atomic<unsigned> mask_{0};
  std::vector<std::pair<std::string, std::shared_ptr<QueuedCameraDevice>>> known_;  // polling thread
  std::unique_ptr<Ticker> ticker_;  // main thread
};

}  // namespace picferry
