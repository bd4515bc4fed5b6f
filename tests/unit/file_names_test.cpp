#include "destination/file_names.h"

#include <gtest/gtest.h>

#include <string>

namespace picferry {
namespace {

TEST(FileNames, OnlySinglePathComponentsAreSafe) {
  for (const char* ok : {"IMG_0001.JPG", ".hidden", "a b (1).MOV", "...", "é.JPG"}) {
    EXPECT_TRUE(isSafeFileName(ok)) << ok;
  }
  for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                 std::string("a/b"), std::string("/abs"), std::string("../x"),
                                 std::string("dir/"), std::string("nul\0x", 5)}) {
    EXPECT_FALSE(isSafeFileName(bad)) << bad;
  }
}

TEST(FileNames, NumberGoesBeforeTheExtension) {
  EXPECT_EQ(numberedFileName("IMG_0001.JPG", 0), "IMG_0001.JPG");
  EXPECT_EQ(numberedFileName("IMG_0001.JPG", 1), "IMG_0001 (1).JPG");
  EXPECT_EQ(numberedFileName("IMG_0001.JPG", 12), "IMG_0001 (12).JPG");
  EXPECT_EQ(numberedFileName("archive.tar.gz", 1), "archive.tar (1).gz");
  EXPECT_EQ(numberedFileName("README", 2), "README (2)");
  EXPECT_EQ(numberedFileName(".hidden", 1), ".hidden (1)");
  EXPECT_EQ(numberedFileName("file-3", 1), "file-3 (1)");
}

TEST(FileNames, NumberedVariantsOfLongNamesFitAndKeepTheExtension) {
  const std::string stem(251, 'a');
  const std::string longest = stem + ".JPG";  // 255 bytes
  EXPECT_EQ(numberedFileName(longest, 0), longest);
  EXPECT_EQ(numberedFileName(longest, 1), std::string(247, 'a') + " (1).JPG");
  EXPECT_EQ(numberedFileName(longest, 1).size(), kMaxFileNameBytes);
  EXPECT_EQ(numberedFileName(longest, 10).size(), kMaxFileNameBytes);
  EXPECT_EQ(numberedFileName(stem + "b.JPG", 0).size(), kMaxFileNameBytes) << "too long as given";

  // "é" is two bytes: shortening never splits it.
  std::string accented;
  while (accented.size() < 250) accented += "\xC3\xA9";
  const std::string shortened = numberedFileName(accented + ".JPG", 1);
  EXPECT_LE(shortened.size(), kMaxFileNameBytes);
  EXPECT_EQ(shortened, accented.substr(0, 246) + " (1).JPG");

  // No extension to speak of: the whole name is the stem.
  EXPECT_EQ(numberedFileName("x." + std::string(253, 'e'), 1).size(), kMaxFileNameBytes);
}

}  // namespace
}  // namespace picferry
