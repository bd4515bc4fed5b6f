// The destination's side of why a copy fails: errors by kind, a file that
// cannot fit told before it is read, and the kind each failure of a copy
// into a real folder carries.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "destination/durable_file.h"
#include "destination/failure_code.h"
#include "destination/file_names.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

TEST(DestinationFailureTest, ErrorsOfTheFileSystemByKind) {
  for (const auto& [err, code] : std::vector<std::pair<int, FailureCode>>{
           {ENOSPC, FailureCode::destinationFull},
           {EDQUOT, FailureCode::destinationFull},
           {EFBIG, FailureCode::tooBigForDestination},
           {EIO, FailureCode::destinationFailed},
           {EROFS, FailureCode::destinationFailed},
           {ENOENT, FailureCode::destinationFailed}}) {
    EXPECT_EQ(destinationFailureCode(err), code) << err;
  }
}

TEST(DestinationFailureTest, AFileThatCannotFitIsRefusedWithTheSystemsReason) {
  constexpr std::int64_t kFat = 0xFFFFFFFF;
  struct Row {
    FileSystemRoom room;
    std::int64_t size;
    std::optional<FailureCode> code;
  };
  for (const Row& row : std::vector<Row>{
           {{std::nullopt, std::nullopt}, std::int64_t{1} << 50, std::nullopt},
           {{100, std::nullopt}, 100, std::nullopt},
           {{100, std::nullopt}, 101, FailureCode::destinationFull},
           {{std::nullopt, kFat}, kFat, std::nullopt},
           {{std::nullopt, kFat}, kFat + 1, FailureCode::tooBigForDestination},
           {{10, 5}, 7, FailureCode::tooBigForDestination},  // the limit is told first
           {{10, 5}, -1, std::nullopt}}) {                   // size unknown
    const auto refused = roomRefusal(row.room, row.size, "/DCIM/X.MOV", "/d");
    ASSERT_EQ(refused.has_value(), row.code.has_value()) << row.size;
    if (refused) {
      EXPECT_EQ(refused->code, *row.code) << row.size;
    }
  }
  EXPECT_EQ(roomRefusal({100, std::nullopt}, 101, "/DCIM/X.MOV", "/d")->description,
            "Could not copy /DCIM/X.MOV into /d: No space left on device (101 bytes, with 100 "
            "bytes free); nothing was read from the device.");
}

class CopyFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int err = 0;
    folder_ = openPosixFolder(tmp_.path.string(), &err);
    ASSERT_TRUE(folder_) << err;
  }
  std::unique_ptr<DurableFile> create() {
    DeviceError error;
    auto file = DurableFile::create(*folder_, "IMG_0001.JPG", &error);
    EXPECT_TRUE(file) << error.description;
    return file;
  }
  picferry::testing::TempDir tmp_{"picferry-failure"};
  std::unique_ptr<DestinationFolder> folder_;
};

TEST_F(CopyFailureTest, FewerBytesThanTheDeviceSaidIsIncomplete) {
  auto file = create();
  ASSERT_EQ(file->append("abc", 3), std::nullopt);
  const auto failed = file->finishWriting(5, std::nullopt);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code, FailureCode::incomplete);
}

TEST_F(CopyFailureTest, AFolderGoneMeanwhileIsTheDestinations) {
  ASSERT_EQ(rmdir(tmp_.path.c_str()), 0);
  DeviceError error;
  EXPECT_FALSE(DurableFile::create(*folder_, "IMG_0001.JPG", &error));
  EXPECT_EQ(error.code, FailureCode::destinationFailed);
}

// The kernel's own "File too large", here from a file-size limit on the process.
TEST_F(CopyFailureTest, AWriteTheFileSystemRefusesAsTooLargeIsTooBig) {
  auto file = create();
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string bytes(8192, 'x');
  const auto failed = file->append(bytes.data(), bytes.size());
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previous);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code, FailureCode::tooBigForDestination);
}

TEST_F(CopyFailureTest, EveryNumberedVariantTakenIsNamesTaken) {
  for (int attempt = 0; attempt < kMaxNumberedNames; ++attempt) {
    const int fd = open((tmp_ / numberedFileName("IMG_0001.JPG", attempt)).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << attempt;
    close(fd);
  }
  auto file = create();
  ASSERT_EQ(file->finishWriting(0, std::nullopt), std::nullopt);
  const auto failed = file->claimName("IMG_0001.JPG");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code, FailureCode::namesTaken);
}

}  // namespace
}  // namespace picferry
