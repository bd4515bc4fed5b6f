#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <string>

namespace picferry {

// Asks the phone to trust this computer unless usbmuxd already holds a pair
// record for it, and saves the record through usbmuxd once the phone agrees,
// as libimobiledevice's handshake would, but with this process's host keys
// (host_certificates.h) instead of two new RSA keys an attempt. Returns the
// phone's answer: LOCKDOWN_E_SUCCESS when a record is (now) held; a refusal
// such as LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING otherwise.
lockdownd_error_t pairUnlessPaired(idevice_t device, const std::string& udid, const char* label);

}  // namespace picferry
