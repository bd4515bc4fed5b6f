#include "camera/gphoto2/gphoto2_browser.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/gphoto2/gphoto2_device.h"
#include "camera/gphoto2/gphoto2_drivers.h"
#include "platform/signal_blocked_thread.h"

namespace picferry {
namespace {

constexpr unsigned kBrowsedMask = kDeviceTypeCamera | kDeviceLocationLocal;
constexpr std::chrono::seconds kPollInterval{1};

// Polls libgphoto2 about once a second on its own thread and reports each
// (model, port) the first time it is seen, and its disappearance.
class Gphoto2Browser final : public DeviceBrowser {
 public:
  Gphoto2Browser(MainQueue& mainQueue, std::function<bool(const std::string&)> skipPort)
      : mainQueue_(mainQueue), skipPort_(std::move(skipPort)), shared_(std::make_shared<Shared>()) {
    shared_->browser = this;
  }

  ~Gphoto2Browser() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    shared_->browser = nullptr;  // Callbacks still queued do nothing.
  }

  void setDelegate(DeviceBrowserDelegate* delegate) override { shared_->delegate = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_.store(mask); }

  void start() override {
    if (!thread_.joinable()) thread_ = os::startThreadWithSignalsBlocked([this] { run(); });
  }

 private:
  // What posted callbacks may touch; main thread only.
  struct Shared {
    DeviceBrowser* browser = nullptr;
    DeviceBrowserDelegate* delegate = nullptr;
  };

  void run() {
    auto drivers = Gphoto2Drivers::load();
    std::vector<std::shared_ptr<Gphoto2Device>> known;  // this thread only
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      std::vector<DetectedCamera> found;
      if ((mask_.load() & kBrowsedMask) == kBrowsedMask) found = drivers->detect();
      if (skipPort_) {
        std::erase_if(found,
                      [this](const DetectedCamera& camera) { return skipPort_(camera.port); });
      }
      update(drivers, found, known);
      lock.lock();
      wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
    }
  }

  void update(const std::shared_ptr<Gphoto2Drivers>& drivers,
              const std::vector<DetectedCamera>& found,
              std::vector<std::shared_ptr<Gphoto2Device>>& known) {
    std::vector<std::shared_ptr<Gphoto2Device>> gone;
    auto kept = std::stable_partition(known.begin(), known.end(), [&](const auto& device) {
      return std::find(found.begin(), found.end(), device->detected()) != found.end();
    });
    gone.assign(kept, known.end());
    known.erase(kept, known.end());

    std::vector<std::shared_ptr<Gphoto2Device>> added;
    for (const DetectedCamera& camera : found) {
      bool seen = std::any_of(known.begin(), known.end(),
                              [&](const auto& device) { return device->detected() == camera; });
      if (!seen) {
        added.push_back(std::make_shared<Gphoto2Device>(mainQueue_, drivers, camera));
        known.push_back(added.back());
      }
    }
    if (!gone.empty()) {
      for (auto& device : gone) device->reportRemoved();
      mainQueue_.post([shared = shared_, gone = std::move(gone)] {
        for (std::size_t i = 0; i < gone.size(); ++i) {
          if (shared->browser && shared->delegate) {
            shared->delegate->deviceBrowserDidRemoveDevice(*shared->browser, gone[i],
                                                           i + 1 < gone.size());
          }
        }
      });
    }
    if (!added.empty()) {
      mainQueue_.post([shared = shared_, added = std::move(added)] {
        for (std::size_t i = 0; i < added.size(); ++i) {
          if (shared->browser && shared->delegate) {
            shared->delegate->deviceBrowserDidAddDevice(*shared->browser, added[i],
                                                        i + 1 < added.size());
          }
        }
      });
    }
  }

  MainQueue& mainQueue_;
  const std::function<bool(const std::string&)> skipPort_;
  std::shared_ptr<Shared> shared_;
  std::atomic<unsigned> mask_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeGphoto2Browser(
    MainQueue& mainQueue, std::function<bool(const std::string& port)> skipPort) {
  return std::make_unique<Gphoto2Browser>(mainQueue, std::move(skipPort));
}

}  // namespace picferry
