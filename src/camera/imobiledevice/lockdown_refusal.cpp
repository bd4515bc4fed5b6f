#include "camera/imobiledevice/lockdown_refusal.h"

#include <string>

namespace picferry {

DeviceError lockdownRefusal(lockdownd_error_t error) {
  switch (error) {
    case LOCKDOWN_E_PASSWORD_PROTECTED:
      return {"The iPhone is locked. Unlock it and keep it unlocked while its photos are read."};
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
      return {
          "The iPhone is asking whether to trust this computer. Unlock it and tap Trust on "
          "its screen."};
    case LOCKDOWN_E_USER_DENIED_PAIRING:
      return {
          "The iPhone was told not to trust this computer. Unplug it, plug it in again, "
          "unlock it and tap Trust."};
    case LOCKDOWN_E_INVALID_HOST_ID:
      return {
          "The iPhone has forgotten this computer and pairing again did not work. Unplug it, "
          "plug it in again, unlock it, tap Trust, then try again."};
    default:
      return {"Couldn't start a session with the iPhone (lockdown error " +
              std::to_string(static_cast<int>(error)) +
              "). Unlock it, unplug and replug it, then try again."};
  }
}

}  // namespace picferry
