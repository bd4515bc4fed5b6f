#pragma once

#include <string>
#include <string_view>

namespace picferry {

// Why a file could not be copied, in words a driving program can switch on.
enum class FailureCode {
  deviceReadFailed,      // an error or timeout reading the device
  deviceDisconnected,    // the device went away
  deviceRefused,         // the device or its driver refuses to send this file
  notOnDevice,           // gone from the device, or never in its catalogue
  incomplete,            // fewer bytes arrived than the device said
  destinationFull,       // no space or quota left
  tooBigForDestination,  // larger than the destination's file system takes
  destinationFailed,     // an I/O error, a read-only or vanished disk, a failed flush
  namesTaken,            // every numbered variant of the name is taken
};

// The code's name in events, such as "destination_full".
constexpr std::string_view failureCodeName(FailureCode code) {
  switch (code) {
    case FailureCode::deviceReadFailed:
      return "device_read_failed";
    case FailureCode::deviceDisconnected:
      return "device_disconnected";
    case FailureCode::deviceRefused:
      return "device_refused";
    case FailureCode::notOnDevice:
      return "not_on_device";
    case FailureCode::incomplete:
      return "incomplete";
    case FailureCode::destinationFull:
      return "destination_full";
    case FailureCode::tooBigForDestination:
      return "too_big_for_destination";
    case FailureCode::destinationFailed:
      return "destination_failed";
    case FailureCode::namesTaken:
      return "names_taken";
  }
  return "device_read_failed";
}

// A failure reported by a device, or by the copy of its file to disk, with a
// sentence a person can read and its kind.
struct DeviceError {
  std::string description;
  FailureCode code = FailureCode::deviceReadFailed;
};

}  // namespace picferry
