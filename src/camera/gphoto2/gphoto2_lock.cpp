#include "camera/gphoto2/gphoto2_lock.h"

namespace picferry {

std::mutex& gphoto2GlobalLock() {
  static std::mutex lock;
  return lock;
}

std::shared_mutex& gphoto2CameraCalls() {
  static std::shared_mutex calls;
  return calls;
}

}  // namespace picferry
