// The certificates of a pairing: the phone's own key in a certificate this
// computer's root signed, and one root and host for every pairing of a run.

#include "camera/imobiledevice/host_certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace picferry {
namespace {

std::string fixture(const char* name) {
  std::ifstream in(std::string(PICFERRY_FAKE_PHONE_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

Bio reading(const std::string& pem) {
  return {BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free};
}

std::unique_ptr<X509, decltype(&X509_free)> certificate(const std::string& pem) {
  return {PEM_read_bio_X509(reading(pem).get(), nullptr, nullptr, nullptr), X509_free};
}

TEST(HostCertificatesTest, ThePhonesKeyIsCertifiedByTheRootWhoseKeyIsKept) {
  auto made = pairingCertificates(fixture("device_public_key.pem"));
  ASSERT_TRUE(made);
  auto device = certificate(made->deviceCertificate);
  auto host = certificate(made->hostCertificate);
  auto root = certificate(made->rootCertificate);
  ASSERT_TRUE(device && host && root);
  EVP_PKEY* rootKey = X509_get0_pubkey(root.get());
  EXPECT_EQ(X509_verify(device.get(), rootKey), 1);
  EXPECT_EQ(X509_verify(host.get(), rootKey), 1);
  EXPECT_EQ(X509_verify(root.get(), rootKey), 1);

  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> phone(
      PEM_read_bio_PrivateKey(reading(fixture("device_private_key.pem")).get(), nullptr, nullptr,
                              nullptr),
      EVP_PKEY_free);
  ASSERT_TRUE(phone);
  EXPECT_EQ(X509_check_private_key(device.get(), phone.get()), 1);
  // The keys kept in the record are those of the certificates.
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rootPrivate(
      PEM_read_bio_PrivateKey(reading(made->rootPrivateKey).get(), nullptr, nullptr, nullptr),
      EVP_PKEY_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> hostPrivate(
      PEM_read_bio_PrivateKey(reading(made->hostPrivateKey).get(), nullptr, nullptr, nullptr),
      EVP_PKEY_free);
  ASSERT_TRUE(rootPrivate && hostPrivate);
  EXPECT_EQ(X509_check_private_key(root.get(), rootPrivate.get()), 1);
  EXPECT_EQ(X509_check_private_key(host.get(), hostPrivate.get()), 1);
}

TEST(HostCertificatesTest, OneRootAndHostPerRunAndNothingForAKeyThatIsNotOne) {
  auto first = pairingCertificates(fixture("device_public_key.pem"));
  auto second = pairingCertificates(fixture("device_public_key.pem"));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->rootCertificate, second->rootCertificate);
  EXPECT_EQ(first->hostPrivateKey, second->hostPrivateKey);
  EXPECT_FALSE(pairingCertificates("-----BEGIN RSA PUBLIC KEY-----\nnot a key\n"));
  EXPECT_FALSE(pairingCertificates(""));
}

}  // namespace
}  // namespace picferry
