#include "camera/polling_browser.h"

#include <algorithm>

namespace picferry {

PollingBrowser::PollingBrowser(MainQueue& mainQueue, std::chrono::milliseconds interval,
                               DeviceFilter filter)
    : mainQueue_(mainQueue),
      interval_(interval),
      filter_(std::move(filter)),
      shared_(std::make_shared<Shared>()) {
  shared_->browser = this;
}

PollingBrowser::~PollingBrowser() {
  stopPolling();
  shared_->browser = nullptr;  // Callbacks still queued do nothing.
}

void PollingBrowser::start() {
  if (!ticker_) ticker_ = std::make_unique<Ticker>(interval_, [this] { poll(); });
}

void PollingBrowser::stopPolling() { ticker_.reset(); }

bool PollingBrowser::browsesLocalCameras() const {
  constexpr unsigned kBrowsed = kDeviceTypeCamera | kDeviceLocationLocal;
  return (mask_.load() & kBrowsed) == kBrowsed;
}

void PollingBrowser::reconcile(const std::vector<Candidate>& present) {
  const auto isPresent = [&](const std::string& key) {
    return std::any_of(present.begin(), present.end(),
                       [&](const Candidate& candidate) { return candidate.first == key; });
  };
  std::vector<std::shared_ptr<QueuedCameraDevice>> gone;
  std::erase_if(known_, [&](const auto& entry) {
    if (isPresent(entry.first)) return false;
    if (entry.second) gone.push_back(entry.second);
    return true;
  });
  std::vector<std::shared_ptr<QueuedCameraDevice>> added;
  for (const auto& [key, make] : present) {
    const bool seen = std::any_of(known_.begin(), known_.end(),
                                  [&, &key = key](const auto& entry) { return entry.first == key; });
    if (seen) continue;
    known_.emplace_back(key, make());
    if (known_.back().second) added.push_back(known_.back().second);
  }
  if (!gone.empty()) postRemoved(std::move(gone));
  if (!added.empty()) postAdded(std::move(added));
}

void PollingBrowser::postAdded(std::vector<std::shared_ptr<QueuedCameraDevice>> devices) {
  mainQueue_.post([shared = shared_, devices = std::move(devices)] {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (shared->browser && shared->delegate) {
        shared->delegate->deviceBrowserDidAddDevice(*shared->browser, devices[i],
                                                    i + 1 < devices.size());
      }
    }
  });
}

void PollingBrowser::postFirstLookDone() {
  if (firstLookPosted_.exchange(true)) return;
  mainQueue_.post([shared = shared_] {
    if (shared->browser && shared->delegate) {
      shared->delegate->deviceBrowserDidEnumerateLocalDevices(*shared->browser);
    }
  });
}

void PollingBrowser::postRemoved(std::vector<std::shared_ptr<QueuedCameraDevice>> devices) {
  for (const auto& device : devices) device->reportRemoved();
  mainQueue_.post([shared = shared_, devices = std::move(devices)] {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (shared->browser && shared->delegate) {
        shared->delegate->deviceBrowserDidRemoveDevice(*shared->browser, devices[i],
                                                       i + 1 < devices.size());
      }
    }
  });
}

}  // namespace picferry
