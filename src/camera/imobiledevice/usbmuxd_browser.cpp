#include "camera/imobiledevice/usbmuxd_browser.h"

#include <libimobiledevice/libimobiledevice.h>
#include <usbmuxd.h>

#include <map>
#include <mutex>

#include "camera/imobiledevice/afc_device.h"
#include "camera/polling_browser.h"

namespace picferry {
namespace {

constexpr std::chrono::seconds kProbeInterval{1};

// Probes the daemon on the polling thread and subscribes to its events once it
// answers; devices come and go with the events.
class UsbmuxdBrowser final : public PollingBrowser {
 public:
  UsbmuxdBrowser(MainQueue& mainQueue, std::shared_ptr<UsbmuxdPresence> presence)
      : PollingBrowser(mainQueue, kProbeInterval), presence_(std::move(presence)) {
    // Nothing may reach standard error.
    idevice_set_debug_level(0);
    libusbmuxd_set_debug_level(0);
  }

  ~UsbmuxdBrowser() override {
    stopPolling();
    if (subscription_) usbmuxd_events_unsubscribe(subscription_);  // Waits for its thread.
  }

 private:
  // The polling thread (and libusbmuxd's event thread, which it starts)
  // block every signal, so signals reach the main thread only.
  void poll() override {
    bool up = presence_->probe();
    if (up && !subscription_ && browsesLocalCameras()) {
      usbmuxd_subscription_context_t subscription = nullptr;
      if (usbmuxd_events_subscribe(&subscription, &UsbmuxdBrowser::onEvent, this) == 0) {
        subscription_ = subscription;
      }
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
      device = std::make_shared<AfcDevice>(mainQueue(), info.udid, std::nullopt);
      devices_[info.handle] = device;
    }
    postAdded({device});
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
    postRemoved({device});
  }

  const std::shared_ptr<UsbmuxdPresence> presence_;
  std::mutex devicesMutex_;
  std::map<std::uint32_t, std::shared_ptr<AfcDevice>> devices_;  // guarded by devicesMutex_
  // Set once by the polling thread; read by the destructor after stopping it.
  usbmuxd_subscription_context_t subscription_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeUsbmuxdBrowser(MainQueue& mainQueue,
                                                  std::shared_ptr<UsbmuxdPresence> presence) {
  return std::make_unique<UsbmuxdBrowser>(mainQueue, std::move(presence));
}

}  // namespace picferry
