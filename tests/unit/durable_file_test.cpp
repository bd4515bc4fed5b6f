#include "destination/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace picferry {
namespace {

class DurableFileTest : public ::testing::Test {
 protected:
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void put(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }
  DestinationFolder& folder() {
    if (!folder_) {
      int err = 0;
      folder_ = openPosixFolder(dir_, &err);
      EXPECT_TRUE(folder_) << err;
    }
    return *folder_;
  }
  std::unique_ptr<DurableFile> create(const std::string& name) {
    DeviceError error;
    auto file = DurableFile::create(folder(), name, &error);
    EXPECT_TRUE(file) << error.description;
    return file;
  }
  // Writes `bytes` as `name` and commits it; returns the name it got.
  std::string save(const std::string& name, const std::string& bytes) {
    auto file = create(name);
    EXPECT_EQ(file->append(bytes.data(), bytes.size()), std::nullopt);
    std::string saved;
    auto error = file->commit(static_cast<std::int64_t>(bytes.size()), std::nullopt, &saved);
    EXPECT_EQ(error, std::nullopt) << error->description;
    return saved;
  }

  picferry::testing::TempDir tmp_{"picferry-durable"};
  const std::string dir_ = tmp_.path.string();
  std::unique_ptr<DestinationFolder> folder_;
};

TEST_F(DurableFileTest, CommitClaimsTheNameWithDateAndLeavesNoTemporaryFile) {
  auto file = create("IMG_0001.JPG");
  ASSERT_EQ(file->append("hello ", 6), std::nullopt);
  // While it is written it has no name at all (the temporary folder's file
  // system has unnamed files), so nothing can outlive a killed run.
  EXPECT_TRUE(entries().empty());
  ASSERT_EQ(file->append("world", 5), std::nullopt);
  std::string saved;
  ASSERT_EQ(file->commit(11, 1'500'000'000, &saved), std::nullopt);
  EXPECT_EQ(saved, "IMG_0001.JPG");
  EXPECT_EQ(entries(), std::set<std::string>{"IMG_0001.JPG"});
  EXPECT_EQ(read("IMG_0001.JPG"), "hello world");
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/IMG_0001.JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1'500'000'000);
  file.reset();  // Destroying a committed file removes nothing.
  EXPECT_EQ(entries(), std::set<std::string>{"IMG_0001.JPG"});
}

TEST_F(DurableFileTest, ClashesGetTheFirstFreeNumberAndNothingIsReplaced) {
  put("IMG_0001.JPG", "original");
  put("IMG_0001 (2).JPG", "second original");
  std::filesystem::create_directory(dir_ + "/IMG_0001 (3).JPG");
  EXPECT_EQ(save("IMG_0001.JPG", "one"), "IMG_0001 (1).JPG");
  EXPECT_EQ(save("IMG_0001.JPG", "four"), "IMG_0001 (4).JPG");
  EXPECT_EQ(read("IMG_0001.JPG"), "original");
  EXPECT_EQ(read("IMG_0001 (1).JPG"), "one");
  EXPECT_EQ(read("IMG_0001 (2).JPG"), "second original");
  EXPECT_EQ(read("IMG_0001 (4).JPG"), "four");
  EXPECT_EQ(entries().size(), 5u);
}

TEST_F(DurableFileTest, ShortOrLongFileIsRefusedAndRemoved) {
  for (std::int64_t expected : {100, 3}) {
    auto file = create("IMG_0002.MOV");
    ASSERT_EQ(file->append("12345", 5), std::nullopt);
    auto error = file->commit(expected, std::nullopt);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("incomplete"), std::string::npos) << error->description;
    EXPECT_TRUE(entries().empty());
  }
}

TEST_F(DurableFileTest, AbandonedFileLeavesNothingAndDescriptorWorks) {
  {
    auto file = create("IMG_0003.PNG");
    ASSERT_EQ(write(file->fd(), "xyz", 3), 3);  // Backends may write through the descriptor.
  }
  EXPECT_TRUE(entries().empty());
  auto file = create("IMG_0003.PNG");
  ASSERT_EQ(write(file->fd(), "xyz", 3), 3);
  ASSERT_EQ(file->commit(3, std::nullopt), std::nullopt);
  EXPECT_EQ(read("IMG_0003.PNG"), "xyz");
  EXPECT_TRUE(file->commit(3, std::nullopt).has_value());  // Only once.
}

// Leftovers of killed runs are named like ".picferry-Ab3dE9.part"; a running
// import holds its own locked (an open-file-description lock, which conflicts
// even within one process).
TEST_F(DurableFileTest, FirstFileInAFolderRemovesUnlockedLeftoversOnly) {
  for (const char* name : {".picferry-Ab3dE9.part", ".picferry-000000.part",
                           ".picferry-locked.part", ".picferry-short.part",
                           "picferry-Ab3dE9.part", ".picferry-Ab3dE9.partial"}) {
    put(name, "partial bytes");
  }
  std::filesystem::create_directory(dir_ + "/.picferry-folder.part");
  const int held = open((dir_ + "/.picferry-locked.part").c_str(), O_WRONLY | O_CLOEXEC);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);

  EXPECT_EQ(save("IMG_0005.JPG", "new"), "IMG_0005.JPG");
  EXPECT_EQ(entries(), (std::set<std::string>{".picferry-locked.part", ".picferry-short.part",
                                              "picferry-Ab3dE9.part", ".picferry-Ab3dE9.partial",
                                              ".picferry-folder.part", "IMG_0005.JPG"}));
  close(held);
}

TEST_F(DurableFileTest, CreateFailsForUnsafeNamesAndMissingFolders) {
  DeviceError error;
  EXPECT_FALSE(DurableFile::create(folder(), "../escape", &error));
  EXPECT_FALSE(error.description.empty());
  EXPECT_FALSE(DurableFile::create(folder(), "..", &error));
  auto file = create("A.JPG");
  ASSERT_EQ(file->finishWriting(0, std::nullopt), std::nullopt);
  EXPECT_TRUE(file->claimName("../escape").has_value());
  int err = 0;
  EXPECT_FALSE(openPosixFolder(dir_ + "/missing", &err));
  EXPECT_EQ(err, ENOENT);
  EXPECT_TRUE(entries().empty());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir_).parent_path() / "escape"));
}

}  // namespace
}  // namespace picferry
