#pragma once

#include <mutex>
#include <shared_mutex>

namespace picferry {

// The one process-wide lock around libgphoto2's driver loading, detection,
// camera initialisation and camera exit: its module loader keeps unprotected
// global state, and opening or closing a camera while detection runs on
// another thread crashes the process. Listing and downloading on an opened
// camera do not take it.
std::mutex& gphoto2GlobalLock();

// Held shared by every call on an opened camera (Gphoto2Camera), which the
// global lock does not cover; held exclusively only by Gphoto2Alone.
std::shared_mutex& gphoto2CameraCalls();

// While one lives, no other thread is inside libgphoto2: the browser's polling
// and every camera's opening and exit hold the global lock, every other call
// on an opened camera holds gphoto2CameraCalls() shared, and what else runs
// outside both (gp_context_new, its setters, gp_context_unref) touches only
// the context. For libgphoto2's unguarded globals, such as its list of log
// functions. Never create one while holding either lock.
class Gphoto2Alone {
 public:
  Gphoto2Alone() : calls_(gphoto2CameraCalls()), global_(gphoto2GlobalLock()) {}

 private:
  std::unique_lock<std::shared_mutex> calls_;
  std::lock_guard<std::mutex> global_;
};

}  // namespace picferry
