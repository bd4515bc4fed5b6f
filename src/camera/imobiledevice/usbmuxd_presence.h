#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace picferry {

// Whether the usbmuxd daemon answers, as last probed. Thread-safe.
class UsbmuxdPresence {
 public:
  // How long answers() waits for the first probe before saying no.
  static constexpr std::chrono::seconds kFirstProbeWait{2};

  // Asks the daemon now (one connection to its socket, which fails at once
  // when nothing listens); records and returns the answer.
  bool probe();
  // The last answer; before the first probe, waits for it (up to
  // kFirstProbeWait, then no).
  bool answers();

 private:
  std::mutex mutex_;
  std::condition_variable probed_;
  std::optional<bool> answers_;  // guarded by mutex_
};

}  // namespace picferry
