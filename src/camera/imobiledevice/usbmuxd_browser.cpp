#include "camera/imobiledevice/usbmuxd_browser.h"

#include <libimobiledevice/libimobiledevice.h>
#include <usbmuxd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "camera/imobiledevice/afc_device.h"
#include "platform/signal_blocked_thread.h"

namespace picferry {
namespace {

constexpr unsigned kBrowsedMask = kDeviceTypeCamera | kDeviceLocationLocal;
constexpr std::chrono::seconds kProbeInterval{1};

class UsbmuxdBrowser final : public DeviceBrowser {
 public:
  UsbmuxdBrowser(MainQueue& mainQueue, std::shared_ptr<UsbmuxdPresence> presence)
      : mainQueue_(mainQueue), presence_(std::move(presence)), shared_(std::make_shared<Shared>()) {
    shared_->browser = this;
    // Nothing may reach standard error.
    idevice_set_debug_level(0);
    libusbmuxd_set_debug_level(0);
  }

  ~UsbmuxdBrowser() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (subscription_) usbmuxd_events_unsubscribe(subscription_);  // Waits for its thread.
    shared_->browser = nullptr;  // Callbacks still queued do nothing.
  }

  void setDelegate(DeviceBrowserDelegate* delegate) override { shared_->delegate = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_.store(mask); }

  // The probing thread (and libusbmuxd's event thread, which it starts)
  // block every signal, so signals reach the main thread only.
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
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      bool up = presence_->probe();
      if (up && !subscription_ && (mask_.load() & kBrowsedMask) == kBrowsedMask) {
        usbmuxd_subscription_context_t subscription = nullptr;
        if (usbmuxd_events_subscribe(&subscription, &UsbmuxdBrowser::onEvent, this) == 0) {
          subscription_ = subscription;
        }
      }
      lock.lock();
      wake_.wait_for(lock, kProbeInterval, [this] { return stopping_; });
    }
  }

  // On libusbmuxd's event thread.
  static void onEvent(const usbmuxd_event_t* event, void* data) {
    auto* self = static_cast<UsbmuxdBrowser*>(data);
    if (event->event == UE_DEVICE_ADD) self->added(event->device);
    if (event->event == UE_DEVICE_REMOVE) self->removed(event->device.handle);
  }

  void added(const usbmuxd_device_info_t& info) {
    if (info.conn_type != CONNECTION_TYPE_USB) return;  // Local devices only.
    std::shared_ptr<AfcDevice> device;
    {
      std::lock_guard lock(devicesMutex_);
      if (devices_.count(info.handle)) return;
      device = std::make_shared<AfcDevice>(mainQueue_, info.udid);
      devices_[info.handle] = device;
    }
    mainQueue_.post([shared = shared_, device] {
      if (shared->browser && shared->delegate) {
        shared->delegate->deviceBrowserDidAddDevice(*shared->browser, device, false);
      }
    });
  }

  void removed(std::uint32_t handle) {
    std::shared_ptr<AfcDevice> device;
    {
      std::lock_guard lock(devicesMutex_);
      auto found = devices_.find(handle);
      if (found == devices_.end()) return;
      device = std::move(found->second);
      devices_.erase(found);
    }
    device->markDetached();
    device->reportRemoved();
    mainQueue_.post([shared = shared_, device] {
      if (shared->browser && shared->delegate) {
        shared->delegate->deviceBrowserDidRemoveDevice(*shared->browser, device, false);
      }
    });
  }

  MainQueue& mainQueue_;
  const std::shared_ptr<UsbmuxdPresence> presence_;
  std::shared_ptr<Shared> shared_;
  std::atomic<unsigned> mask_{0};

  std::mutex devicesMutex_;
  std::map<std::uint32_t, std::shared_ptr<AfcDevice>> devices_;  // guarded by devicesMutex_

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
  // Set once by the probing thread; read by the destructor after joining it.
  usbmuxd_subscription_context_t subscription_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeUsbmuxdBrowser(MainQueue& mainQueue,
                                                  std::shared_ptr<UsbmuxdPresence> presence) {
  return std::make_unique<UsbmuxdBrowser>(mainQueue, std::move(presence));
}

}  // namespace picferry
