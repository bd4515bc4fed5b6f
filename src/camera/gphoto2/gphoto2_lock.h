#pragma once

#include <mutex>

namespace picferry {

// The one process-wide lock around libgphoto2's driver loading, detection,
// camera initialisation and camera exit: its module loader keeps unprotected
// global state, and opening or closing a camera while detection runs on
// another thread crashes the process. Listing and downloading on an opened
// camera do not take it.
std::mutex& gphoto2GlobalLock();

}  // namespace picferry
