#include "camera/imobiledevice/usbmuxd_browser.h"

#include <libimobiledevice/libimobiledevice.h>
#include <usbmuxd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "camera/device_id.h"
#include "camera/imobiledevice/afc_device.h"
#include "camera/imobiledevice/afc_session.h"
#include "camera/polling_browser.h"

namespace picferry {
namespace {

constexpr std::chrono::seconds kProbeInterval{1};

// Probes the daemon on the polling thread and subscribes to its events once it
// answers; devices come and go with the events. The first look is done when
// every phone of a listing taken since the subscription has come through the
// events (or no daemon answers).
class UsbmuxdBrowser final : public PollingBrowser {
 public:
  UsbmuxdBrowser(MainQueue& mainQueue, std::shared_ptr<UsbmuxdPresence> presence,
                 DeviceFilter filter)
      : PollingBrowser(mainQueue, kProbeInterval, std::move(filter)),
        presence_(std::move(presence)) {
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
    std::vector<std::uint32_t> listed;
    const bool up = presence_->probe(&listed);
    if (!up || !browsesLocalCameras()) {
      postFirstLookDone();  // nothing is attached this way
      return;
    }
    if (!subscription_) {
      usbmuxd_subscription_context_t subscription = nullptr;
      if (usbmuxd_events_subscribe(&subscription, &UsbmuxdBrowser::onEvent, this) != 0) {
        postFirstLookDone();
        return;
      }
      subscription_ = subscription;
    }
    std::lock_guard lock(devicesMutex_);
    listed_ = std::move(listed);
    checkFirstLookLocked();
  }

  // On libusbmuxd's event thread.
  static void onEvent(const usbmuxd_event_t* event, void* data) {
    auto* self = static_cast<UsbmuxdBrowser*>(data);
    if (event->event == UE_DEVICE_ADD) self->added(event->device);
    if (event->event == UE_DEVICE_REMOVE) self->removed(event->device.handle);
  }

  void added(const usbmuxd_device_info_t& info) {
    if (info.conn_type != CONNECTION_TYPE_USB) return;  // Local devices only.
    std::string udid = info.udid;
    {
      std::lock_guard lock(devicesMutex_);
      if (devices_.count(info.handle) || left_.count(info.handle)) return;
      if (!wanted(printableDeviceId(udid))) {
        left_.insert(info.handle);
        checkFirstLookLocked();
        return;
      }
    }
    // Asked before the phone is reported, so that a listing names it; the
    // phone answers within milliseconds.
    auto device =
        std::make_shared<AfcDevice>(mainQueue(), udid, AfcSession::nameWithoutTrust(udid));
    std::lock_guard lock(devicesMutex_);
    devices_[info.handle] = device;
    postAdded({device});  // before the end of the first look is posted
    checkFirstLookLocked();
  }

  void removed(std::uint32_t handle) {
    std::shared_ptr<AfcDevice> device;
    {
      std::lock_guard lock(devicesMutex_);
      left_.erase(handle);
      auto found = devices_.find(handle);
      if (found == devices_.end()) return;
      device = std::move(found->second);
      devices_.erase(found);
    }
    device->markDetached();
    postRemoved({device});
  }

  void checkFirstLookLocked() {
    if (!listed_) return;
    const bool allSeen = std::all_of(
        listed_->begin(), listed_->end(),
        [this](std::uint32_t handle) { return devices_.count(handle) || left_.count(handle); });
    if (allSeen) postFirstLookDone();
  }

  const std::shared_ptr<UsbmuxdPresence> presence_;
  std::mutex devicesMutex_;
  // Guarded by devicesMutex_: the phones reported, those the filter left out,
  // and the handles of the last listing taken while subscribed.
  std::map<std::uint32_t, std::shared_ptr<AfcDevice>> devices_;
  std::set<std::uint32_t> left_;
  std::optional<std::vector<std::uint32_t>> listed_;
  // Set once by the polling thread; read by the destructor after stopping it.
  usbmuxd_subscription_context_t subscription_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceBrowser> makeUsbmuxdBrowser(MainQueue& mainQueue,
                                                  std::shared_ptr<UsbmuxdPresence> presence,
                                                  DeviceFilter filter) {
  return std::make_unique<UsbmuxdBrowser>(mainQueue, std::move(presence), std::move(filter));
}

}  // namespace picferry
