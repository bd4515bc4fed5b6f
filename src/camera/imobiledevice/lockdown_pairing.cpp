#include "camera/imobiledevice/lockdown_pairing.h"

#include <openssl/rand.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "camera/imobiledevice/host_certificates.h"

namespace picferry {
namespace {

using Plist = std::unique_ptr<void, decltype(&plist_free)>;

bool holdsPairRecord(const std::string& udid) {
  char* record = nullptr;
  std::uint32_t size = 0;
  bool held = usbmuxd_read_pair_record(udid.c_str(), &record, &size) == 0 && record;
  std::free(record);
  return held;
}

// A random (version 4) UUID in capitals, the form lockdownd's host IDs take.
std::optional<std::string> newHostId() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return std::nullopt;
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  std::string id;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    id += digits;
  }
  return id;
}

Plist value(lockdownd_client_t client, const char* key) {
  plist_t node = nullptr;
  lockdownd_get_value(client, nullptr, key, &node);
  return Plist(node, plist_free);
}

std::optional<std::string> dataValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  char* data = nullptr;
  std::uint64_t length = 0;
  plist_get_data_val(node, &data, &length);
  std::string bytes(data ? data : "", data ? length : 0);
  std::free(data);
  return bytes;
}

void setData(plist_t dict, const char* key, const std::string& bytes) {
  plist_dict_set_item(dict, key, plist_new_data(bytes.data(), bytes.size()));
}

// The record usbmuxd keeps: what the phone was sent, the private keys, and
// what the phone gave back (its escrow bag) or told before (its Wi-Fi address).
bool savePairRecord(idevice_t device, const std::string& udid,
                    const PairingCertificates& certificates, const std::string& hostId,
                    const std::string& systemBuid, plist_t wifiAddress, plist_t response) {
  Plist record(plist_new_dict(), plist_free);
  setData(record.get(), "DeviceCertificate", certificates.deviceCertificate);
  setData(record.get(), "HostCertificate", certificates.hostCertificate);
  setData(record.get(), "HostPrivateKey", certificates.hostPrivateKey);
  setData(record.get(), "RootCertificate", certificates.rootCertificate);
  setData(record.get(), "RootPrivateKey", certificates.rootPrivateKey);
  plist_dict_set_item(record.get(), "HostID", plist_new_string(hostId.c_str()));
  plist_dict_set_item(record.get(), "SystemBUID", plist_new_string(systemBuid.c_str()));
  plist_t escrowBag = response ? plist_dict_get_item(response, "EscrowBag") : nullptr;
  if (escrowBag && plist_get_node_type(escrowBag) == PLIST_DATA) {
    plist_dict_set_item(record.get(), "EscrowBag", plist_copy(escrowBag));
  }
  if (wifiAddress) plist_dict_set_item(record.get(), "WiFiMACAddress", plist_copy(wifiAddress));

  char* bytes = nullptr;
  std::uint32_t size = 0;
  plist_to_bin(record.get(), &bytes, &size);
  std::uint32_t handle = 0;
  idevice_get_handle(device, &handle);
  bool saved =
      bytes && usbmuxd_save_pair_record_with_device_id(udid.c_str(), handle, bytes, size) == 0;
  std::free(bytes);
  return saved;
}

lockdownd_error_t pair(lockdownd_client_t client, idevice_t device, const std::string& udid) {
  auto publicKey = dataValue(value(client, "DevicePublicKey").get());
  if (!publicKey) return LOCKDOWN_E_INVALID_CONF;
  auto certificates = pairingCertificates(*publicKey);
  auto hostId = newHostId();
  if (!certificates || !hostId) return LOCKDOWN_E_SSL_ERROR;
  char* buid = nullptr;
  if (usbmuxd_read_buid(&buid) != 0 || !buid) return LOCKDOWN_E_INVALID_CONF;
  std::string systemBuid = buid;
  std::free(buid);
  // Asked before pairing: asking after makes iOS 7 and later reconnect.
  Plist wifiAddress = value(client, "WiFiAddress");

  lockdownd_pair_record request{
      certificates->deviceCertificate.data(), certificates->hostCertificate.data(),
      certificates->rootCertificate.data(), hostId->data(), systemBuid.data()};
  Plist options(plist_new_dict(), plist_free);
  plist_dict_set_item(options.get(), "ExtendedPairingErrors", plist_new_bool(1));
  plist_t answer = nullptr;
  lockdownd_error_t result = lockdownd_pair_with_options(client, &request, options.get(), &answer);
  Plist response(answer, plist_free);
  if (result == LOCKDOWN_E_SUCCESS &&
      !savePairRecord(device, udid, *certificates, *hostId, systemBuid, wifiAddress.get(),
                      response.get())) {
    return LOCKDOWN_E_INVALID_CONF;
  }
  return result;
}

}  // namespace

lockdownd_error_t pairUnlessPaired(idevice_t device, const std::string& udid, const char* label) {
  if (holdsPairRecord(udid)) return LOCKDOWN_E_SUCCESS;
  lockdownd_client_t client = nullptr;
  lockdownd_error_t result = lockdownd_client_new(device, &client, label);
  if (result != LOCKDOWN_E_SUCCESS) return result;
  result = pair(client, device, udid);
  lockdownd_client_free(client);
  return result;
}

}  // namespace picferry
