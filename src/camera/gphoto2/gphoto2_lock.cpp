#include "camera/gphoto2/gphoto2_lock.h"

namespace picferry {

std::mutex& gphoto2GlobalLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace picferry
