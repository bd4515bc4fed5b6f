#include "camera/imobiledevice/afc_session.h"

#include <libimobiledevice/lockdown.h>
#include <usbmuxd.h>

#include <cstdlib>

#include "camera/imobiledevice/lockdown_pairing.h"
#include "camera/imobiledevice/lockdown_refusal.h"

namespace picferry {
namespace {

constexpr char kLabel[] = "picferry";
constexpr std::uint32_t kChunk = 1 << 20;

// The phone's own name. Asked without a session: a phone answers it even
// before it trusts the computer.
std::optional<std::string> deviceName(idevice_t device) {
  lockdownd_client_t client = nullptr;
  if (lockdownd_client_new(device, &client, kLabel) != LOCKDOWN_E_SUCCESS) return std::nullopt;
  std::optional<std::string> name;
  char* raw = nullptr;
  if (lockdownd_get_device_name(client, &raw) == LOCKDOWN_E_SUCCESS && raw) name = raw;
  std::free(raw);
  lockdownd_client_free(client);
  return name;
}

// Forgets the pairing on both sides, so the next handshake pairs afresh.
void forgetPairing(idevice_t device, const std::string& udid) {
  lockdownd_client_t client = nullptr;
  if (lockdownd_client_new(device, &client, kLabel) == LOCKDOWN_E_SUCCESS) {
    lockdownd_unpair(client, nullptr);
    lockdownd_client_free(client);
  }
  usbmuxd_delete_pair_record(udid.c_str());
}

// Pairs first when no record is held, so that libimobiledevice's handshake,
// which would make new keys for every Pair it sends, only opens the session.
lockdownd_error_t handshake(idevice_t device, const std::string& udid, lockdownd_client_t* client) {
  auto attempt = [&] {
    lockdownd_error_t paired = pairUnlessPaired(device, udid, kLabel);
    if (paired != LOCKDOWN_E_SUCCESS) return paired;
    return lockdownd_client_new_with_handshake(device, client, kLabel);
  };
  lockdownd_error_t result = attempt();
  if (result == LOCKDOWN_E_INVALID_HOST_ID) {
    forgetPairing(device, udid);
    result = attempt();
  }
  return result;
}

}  // namespace

std::optional<std::string> AfcSession::nameWithoutTrust(const std::string& udid) {
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    return std::nullopt;
  }
  auto name = deviceName(device);
  idevice_free(device);
  return name;
}

std::unique_ptr<AfcSession> AfcSession::open(const std::string& udid,
                                             std::optional<std::string>* name, DeviceError* error) {
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    *error = {"The iPhone is no longer connected. Plug it in again, unlock it and tap Trust."};
    return nullptr;
  }
  if (auto found = deviceName(device)) *name = std::move(found);

  lockdownd_client_t client = nullptr;
  lockdownd_error_t result = handshake(device, udid, &client);
  lockdownd_service_descriptor_t service = nullptr;
  if (result == LOCKDOWN_E_SUCCESS) {
    result = lockdownd_start_service(client, AFC_SERVICE_NAME, &service);
  }
  if (client) lockdownd_client_free(client);
  if (result != LOCKDOWN_E_SUCCESS) {
    idevice_free(device);
    *error = lockdownRefusal(result);
    return nullptr;
  }
  afc_client_t afc = nullptr;
  afc_error_t opened = afc_client_new(device, service, &afc);
  lockdownd_service_descriptor_free(service);
  if (opened != AFC_E_SUCCESS) {
    idevice_free(device);
    *error = {"Couldn't open the iPhone's files (AFC error " +
              std::to_string(static_cast<int>(opened)) +
              "). Unlock it, unplug and replug it, then try again."};
    return nullptr;
  }
  return std::unique_ptr<AfcSession>(new AfcSession(device, afc));
}

AfcSession::~AfcSession() {
  afc_client_free(afc_);
  idevice_free(device_);
}

// What a failed call on a file says of it, once noteFailure has seen it.
FailureCode AfcSession::failureCode(afc_error_t error) const {
  if (lost_) return FailureCode::deviceDisconnected;
  if (error == AFC_E_OBJECT_NOT_FOUND) return FailureCode::notOnDevice;
  if (error == AFC_E_PERM_DENIED) return FailureCode::deviceRefused;
  return FailureCode::deviceReadFailed;
}

void AfcSession::noteFailure(afc_error_t error) {
  if (error == AFC_E_MUX_ERROR || error == AFC_E_SERVICE_NOT_CONNECTED ||
      error == AFC_E_NOT_ENOUGH_DATA || error == AFC_E_OP_TIMEOUT) {
    lost_ = true;
  }
}

std::optional<DeviceError> AfcSession::listDirectory(const std::string& path,
                                                     std::vector<std::string>* names) {
  if (lost_) return DeviceError{"The iPhone was disconnected."};
  char** list = nullptr;
  afc_error_t result = afc_read_directory(afc_, path.c_str(), &list);
  if (result != AFC_E_SUCCESS) {
    noteFailure(result);
    return DeviceError{"Couldn't list " + path + " on the iPhone (AFC error " +
                       std::to_string(static_cast<int>(result)) + ")."};
  }
  for (char** entry = list; entry && *entry; ++entry) {
    std::string name = *entry;
    if (name != "." && name != "..") names->push_back(std::move(name));
  }
  afc_dictionary_free(list);
  return std::nullopt;
}

std::optional<AfcStat> AfcSession::stat(const std::string& path) {
  if (lost_) return std::nullopt;
  char** info = nullptr;
  afc_error_t result = afc_get_file_info(afc_, path.c_str(), &info);
  if (result != AFC_E_SUCCESS) {
    noteFailure(result);
    return std::nullopt;
  }
  AfcStat stat;
  for (char** pair = info; pair && pair[0] && pair[1]; pair += 2) {
    std::string key = pair[0];
    std::string value = pair[1];
    if (key == "st_ifmt") {
      stat.isDirectory = value == "S_IFDIR";
      stat.isRegularFile = value == "S_IFREG";
    } else if (key == "st_size") {
      stat.size = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "st_mtime") {  // nanoseconds
      stat.mtime = std::strtoll(value.c_str(), nullptr, 10) / 1'000'000'000;
    }
  }
  afc_dictionary_free(info);
  return stat;
}

std::optional<DeviceError> AfcSession::read(const std::string& path, DurableFile& out,
                                            const std::atomic<bool>& abandoned) {
  if (lost_) {
    return DeviceError{"The iPhone was disconnected before " + path + " could be read.",
                       FailureCode::deviceDisconnected};
  }
  std::uint64_t handle = 0;
  afc_error_t result = afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &handle);
  if (result != AFC_E_SUCCESS) {
    noteFailure(result);
    return DeviceError{"Couldn't open " + path + " on the iPhone (AFC error " +
                           std::to_string(static_cast<int>(result)) + ").",
                       failureCode(result)};
  }
  std::vector<char> buffer(kChunk);
  std::optional<DeviceError> failure;
  for (;;) {
    if (abandoned.load()) {
      failure = DeviceError{"The copy of " + path + " was stopped."};
      break;
    }
    std::uint32_t got = 0;
    result = afc_file_read(afc_, handle, buffer.data(), kChunk, &got);
    if (result != AFC_E_SUCCESS) {
      noteFailure(result);
      failure = DeviceError{"Couldn't read " + path + " from the iPhone (AFC error " +
                                std::to_string(static_cast<int>(result)) + ").",
                            failureCode(result)};
      break;
    }
    if (got == 0) break;
    if ((failure = out.append(buffer.data(), got))) break;
  }
  if (!lost_) afc_file_close(afc_, handle);
  return failure;
}

}  // namespace picferry
