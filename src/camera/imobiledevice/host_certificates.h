#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace picferry {

// The certificates and keys of a pairing with one phone, each in PEM, laid
// out as libimobiledevice's own pairing makes them: a self-signed root, a
// host certificate and a device certificate (for the phone's own public key)
// both issued by that root, SHA-1 signatures, serial 0, ten years.
struct PairingCertificates {
  std::string deviceCertificate;
  std::string hostCertificate;
  std::string hostPrivateKey;
  std::string rootCertificate;
  std::string rootPrivateKey;
};

// Certificates for the phone whose public key is `devicePublicKeyPem` (PKCS#1,
// "RSA PUBLIC KEY", as lockdownd gives it). The root and host keys are made
// once per process and shared by every pairing it makes, because two RSA-2048
// keys take up to a second or two: a phone that keeps refusing then costs
// milliseconds an attempt. Thread-safe. nullopt when the key can't be read or
// OpenSSL fails.
std::optional<PairingCertificates> pairingCertificates(std::string_view devicePublicKeyPem);

}  // namespace picferry
