#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace picferry {

// Whether the usbmuxd daemon answers, as last probed. Thread-safe.
class UsbmuxdPresence {
 public:
  // How long answers() waits for the first probe before saying no.
  static constexpr std::chrono::seconds kFirstProbeWait{2};

  // Asks the daemon now for its devices (one connection to its socket,
  // which fails at once when nothing listens); records and returns whether it
  // answered. `usbDevices`, if given, receives the handles of the devices
  // it lists as attached by USB.
  bool probe(std::vector<std::uint32_t>* usbDevices = nullptr);
  // The last answer; before the first probe, waits for it (up to
  // kFirstProbeWait, then no).
  bool answers();

 private:
  std::mutex mutex_;
  std::condition_variable probed_;
  std::optional<bool> answers_;  // guarded by mutex_
};

}  // namespace picferry
