// Content answers shared by the FAT engines that judge the same files' first sectors.
#include "fat/fat_content_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace velmora {
namespace {

TEST(FatContentAnswersTest, KeptPerSectorAndSectorSizeWithExtensionsWithoutCase) {
  FatContentAnswers answers;
  EXPECT_EQ(answers.Find(100, 512, "jpg"), -1);
  answers.Keep(100, 512, "JPG", true);
  answers.Keep(101, 512, "jpg", false);
  EXPECT_EQ(answers.Find(100, 512, "jpg"), 1);
  EXPECT_EQ(answers.Find(100, 512, "Jpg"), 1);
  EXPECT_EQ(answers.Find(101, 512, "JPG"), 0);
  EXPECT_EQ(answers.Find(100, 4096, "jpg"), -1);  // another sector size is another place
  EXPECT_EQ(answers.Find(100, 512, "jpeg"), -1);
}

TEST(FatContentAnswersTest, HoldsUpToItsLimitAndNoMore) {
  FatContentAnswers answers;
  for (uint64_t sector = 0; sector < FatContentAnswers::kMostAnswers; ++sector) {
    answers.Keep(sector, 512, "doc", true);
  }
  EXPECT_EQ(answers.Find(FatContentAnswers::kMostAnswers - 1, 512, "doc"), 1);
  answers.Keep(FatContentAnswers::kMostAnswers, 512, "doc", true);
  EXPECT_EQ(answers.Find(FatContentAnswers::kMostAnswers, 512, "doc"), -1);
}

TEST(FatContentAnswersTest, ASectorIsReadOnceAndAnUnreadableOneIsAskedAgain) {
  FatContentAnswers answers;
  std::vector<uint8_t> sector(512, 0x41);  // text, not a picture
  int reads = 0;
  const auto read = [&](const uint8_t** data, size_t* length) {
    ++reads;
    *data = sector.data();
    *length = sector.size();
    return true;
  };
  const int first = JudgeFirstSector(&answers, 64, 512, "jpg", nullptr, read);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(JudgeFirstSector(&answers, 64, 512, "JPG", nullptr, read), first);
  EXPECT_EQ(reads, 1);
  // Without shared answers every call reads.
  EXPECT_EQ(JudgeFirstSector(nullptr, 64, 512, "jpg", nullptr, read), first);
  EXPECT_EQ(reads, 2);

  int failed_reads = 0;
  const auto unreadable = [&](const uint8_t**, size_t*) {
    ++failed_reads;
    return false;
  };
  EXPECT_EQ(JudgeFirstSector(&answers, 65, 512, "jpg", nullptr, unreadable), -1);
  EXPECT_EQ(JudgeFirstSector(&answers, 65, 512, "jpg", nullptr, unreadable), -1);
  EXPECT_EQ(failed_reads, 2);
  EXPECT_EQ(answers.Find(65, 512, "jpg"), -1);
}

}  // namespace
}  // namespace velmora
