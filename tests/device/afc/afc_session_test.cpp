// The AFC backend against the project's fake phone (fake_phone.py, started per
// test behind its own usbmuxd socket): the phone's refusals keep their reason,
// a forgotten pairing is renewed once, and an unplugged phone fails at once.

#include "camera/imobiledevice/afc_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "destination/durable_file.h"
#include "device/afc/fake_phone_process.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A copy nobody abandons.
const std::atomic<bool> kWanted{false};

class AfcSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "phone/DCIM/100APPLE");
    std::ofstream(dir_ / "phone/DCIM/100APPLE/IMG_0001.HEIC", std::ios::binary)
        << std::string(3 << 20, 'a');
    phone_ = std::make_unique<test::FakePhoneProcess>(dir_.string());
  }

  void TearDown() override {
    phone_.reset();
  }

  void startPhone(std::vector<std::string> switches = {}) {
    ASSERT_TRUE(phone_->start(std::move(switches)));
  }

  std::unique_ptr<AfcSession> open(DeviceError* error, std::optional<std::string>* name) {
    return AfcSession::open(test::kFakePhoneUdid, name, error);
  }

  std::string refusal(std::vector<std::string> switches) {
    startPhone(std::move(switches));
    DeviceError error;
    std::optional<std::string> name;
    EXPECT_EQ(open(&error, &name), nullptr);
    EXPECT_EQ(name, "Zoë's iPhone");  // Told even while refusing.
    return error.description;
  }

  picferry::testing::TempDir tmp_{"afc-session"};
  const fs::path dir_ = tmp_.path;
  std::unique_ptr<test::FakePhoneProcess> phone_;
};

TEST_F(AfcSessionTest, OpensWithThePhonesNameAndListsDcim) {
  startPhone();
  DeviceError error;
  std::optional<std::string> name;
  auto session = open(&error, &name);
  ASSERT_NE(session, nullptr) << error.description;
  EXPECT_EQ(name, "Zoë's iPhone");
  std::vector<std::string> names;
  EXPECT_EQ(session->listDirectory("/DCIM", &names), std::nullopt);
  EXPECT_EQ(names, std::vector<std::string>{"100APPLE"});
  auto stat = session->stat("/DCIM/100APPLE/IMG_0001.HEIC");
  ASSERT_TRUE(stat);
  EXPECT_TRUE(stat->isRegularFile);
  EXPECT_EQ(stat->size, 3 << 20);
  names.clear();
  const auto missing = session->listDirectory("/DCIM/none", &names);
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->description.find("/DCIM/none"), std::string::npos) << missing->description;
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(session->connectionLost());
}

TEST_F(AfcSessionTest, LockedPhoneSaysUnlockIt) {
  std::string reason = refusal({"--locked", "-1"});
  EXPECT_NE(reason.find("locked"), std::string::npos) << reason;
  EXPECT_NE(reason.find("Unlock it"), std::string::npos) << reason;
}

TEST_F(AfcSessionTest, PendingTrustDialogSaysTapTrust) {
  std::string reason = refusal({"--trust-pending", "-1"});
  EXPECT_NE(reason.find("tap Trust"), std::string::npos) << reason;
  EXPECT_NE(reason.find("asking whether to trust"), std::string::npos) << reason;
}

TEST_F(AfcSessionTest, DeniedTrustSaysUnplugAndTapTrust) {
  std::string reason = refusal({"--trust-denied"});
  EXPECT_NE(reason.find("Unplug it, plug it in again"), std::string::npos) << reason;
  EXPECT_NE(reason.find("tap Trust"), std::string::npos) << reason;
}

TEST_F(AfcSessionTest, TrustTappedLateOpensOnTheNextAttempt) {
  startPhone({"--trust-pending", "1"});
  DeviceError error;
  std::optional<std::string> name;
  EXPECT_EQ(open(&error, &name), nullptr);
  auto session = open(&error, &name);
  EXPECT_NE(session, nullptr) << error.description;
}

TEST_F(AfcSessionTest, ForgottenPairingIsRenewedOnce) {
  startPhone({"--forgotten"});
  DeviceError error;
  std::optional<std::string> name;
  auto session = open(&error, &name);
  EXPECT_NE(session, nullptr) << error.description;
}

// Pairing again asks the person to trust the computer: that is the reason given.
TEST_F(AfcSessionTest, ForgottenPairingRenewalWaitsForTrust) {
  std::string reason = refusal({"--forgotten", "--trust-pending", "-1"});
  EXPECT_NE(reason.find("tap Trust"), std::string::npos) << reason;
}

TEST_F(AfcSessionTest, UnpluggedMidReadFailsThatFileAndTheNextAtOnce) {
  startPhone({"--detach-after-bytes", std::to_string(1 << 20)});
  DeviceError error;
  std::optional<std::string> name;
  auto session = open(&error, &name);
  ASSERT_NE(session, nullptr) << error.description;
  int err = 0;
  auto folder = openPosixFolder(dir_.string(), &err);
  ASSERT_NE(folder, nullptr) << err;
  auto out = DurableFile::create(*folder, "IMG_0001.HEIC", &error);
  ASSERT_NE(out, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(session->read("/DCIM/100APPLE/IMG_0001.HEIC", *out, kWanted));
  EXPECT_TRUE(session->connectionLost());
  auto again = DurableFile::create(*folder, "IMG_0001.HEIC", &error);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(session->read("/DCIM/100APPLE/IMG_0001.HEIC", *again, kWanted));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace picferry
