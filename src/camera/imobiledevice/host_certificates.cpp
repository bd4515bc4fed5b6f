#include "camera/imobiledevice/host_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <memory>

namespace picferry {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kTenYears = 60L * 60 * 24 * 365 * 10;

std::optional<std::string> toPem(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || write(bio.get()) != 1) return std::nullopt;
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> certificatePem(X509* certificate) {
  return toPem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

std::optional<std::string> privateKeyPem(EVP_PKEY* key) {
  return toPem([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

bool addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, nullptr, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `subject`, issued (signed) by `issuer`, with `extensions`
// (NID, value) in that order.
std::optional<std::string> issue(EVP_PKEY* subject, EVP_PKEY* issuer,
                                 std::initializer_list<std::pair<int, const char*>> extensions) {
  Certificate certificate(X509_new(), X509_free);
  if (!certificate || ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0) != 1 ||
      X509_set_version(certificate.get(), 2) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) ||
      !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kTenYears) ||
      X509_set_pubkey(certificate.get(), subject) != 1) {
    return std::nullopt;
  }
  for (const auto& [nid, value] : extensions) {
    if (!addExtension(certificate.get(), nid, value)) return std::nullopt;
  }
  if (X509_sign(certificate.get(), issuer, EVP_sha1()) <= 0) return std::nullopt;
  return certificatePem(certificate.get());
}

// The root and host identity this process pairs with.
struct HostIdentity {
  Key root{nullptr, EVP_PKEY_free};
  std::string rootCertificate;
  std::string rootPrivateKey;
  std::string hostCertificate;
  std::string hostPrivateKey;
};

std::unique_ptr<HostIdentity> makeHostIdentity() {
  auto identity = std::make_unique<HostIdentity>();
  identity->root.reset(EVP_RSA_gen(2048));
  Key host(EVP_RSA_gen(2048), EVP_PKEY_free);
  if (!identity->root || !host) return nullptr;
  EVP_PKEY* root = identity->root.get();
  auto rootCertificate = issue(root, root, {{NID_basic_constraints, "critical,CA:TRUE"}});
  auto hostCertificate = issue(host.get(), root,
                               {{NID_basic_constraints, "critical,CA:FALSE"},
                                {NID_key_usage, "critical,digitalSignature,keyEncipherment"}});
  auto rootPrivateKey = privateKeyPem(root);
  auto hostPrivateKey = privateKeyPem(host.get());
  if (!rootCertificate || !hostCertificate || !rootPrivateKey || !hostPrivateKey) return nullptr;
  identity->rootCertificate = std::move(*rootCertificate);
  identity->hostCertificate = std::move(*hostCertificate);
  identity->rootPrivateKey = std::move(*rootPrivateKey);
  identity->hostPrivateKey = std::move(*hostPrivateKey);
  return identity;
}

const HostIdentity* hostIdentity() {
  static const std::unique_ptr<HostIdentity> identity = makeHostIdentity();
  return identity.get();
}

Key readRsaPublicKey(std::string_view pem) {
  Key key(nullptr, EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* der = nullptr;
  long length = 0;
  if (bio && PEM_read_bio(bio.get(), &name, &header, &der, &length) == 1) {
    const unsigned char* cursor = der;
    key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length));
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(der);
  return key;
}

}  // namespace

std::optional<PairingCertificates> pairingCertificates(std::string_view devicePublicKeyPem) {
  const HostIdentity* host = hostIdentity();
  Key device = readRsaPublicKey(devicePublicKeyPem);
  if (!host || !device) return std::nullopt;
  auto deviceCertificate = issue(device.get(), host->root.get(),
                                 {{NID_basic_constraints, "critical,CA:FALSE"},
                                  {NID_subject_key_identifier, "hash"},
                                  {NID_key_usage, "critical,digitalSignature,keyEncipherment"}});
  if (!deviceCertificate) return std::nullopt;
  return PairingCertificates{std::move(*deviceCertificate), host->hostCertificate,
                             host->hostPrivateKey, host->rootCertificate, host->rootPrivateKey};
}

}  // namespace picferry
