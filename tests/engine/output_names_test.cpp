// Names of recovered files: cut names keep their type, numbered copies go on from the last.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "support/test_env.h"

namespace velmora {
namespace {

TEST(OutputNamesTest, RecordNamesAtTheLimitStayWholeLongerOnesKeepTheirExtension) {
  ScanRecord record{};
  const std::string fits = std::string(kRecordNameBytes - 1 - 4, 'a') + ".jpg";
  SetRecordName(&record, fits);
  EXPECT_EQ(RecordName(record), fits);

  SetRecordName(&record, std::string(kRecordNameBytes - 4, 'a') + ".jpg");
  EXPECT_EQ(RecordName(record).size(), kRecordNameBytes - 1);
  EXPECT_EQ(ExtensionOf(RecordName(record)), "jpg");

  // The stem is cut at a character boundary; a "." that starts the name is no extension.
  std::string wide;
  while (wide.size() < 400) wide += "é";
  SetRecordName(&record, wide + ".docx");
  const std::string_view cut = RecordName(record);
  EXPECT_LE(cut.size(), kRecordNameBytes - 1);
  EXPECT_EQ(cut.substr(cut.size() - 7), "é.docx");
  EXPECT_EQ(CutName("." + std::string(300, 'x'), 100), "." + std::string(99, 'x'));
  // An "extension" longer than 16 bytes is part of the name.
  EXPECT_EQ(CutName(std::string(300, 'x') + "." + std::string(17, 'e'), 100),
            std::string(100, 'x'));
}

TEST(OutputNamesTest, SafeNamesAtTheComponentLimitStayWholeLongerOnesKeepTheirExtension) {
  const std::string fits = std::string(kMaxComponentBytes - 4, 'p') + ".png";
  EXPECT_EQ(SafeComponentName(fits), fits);
  const std::string longer = std::string(kMaxComponentBytes - 3, 'p') + ".png";
  EXPECT_EQ(SafeComponentName(longer), std::string(kMaxComponentBytes - 4, 'p') + ".png");
}

TEST(OutputNamesTest, NextFreeNumberFollowsTheLastTakenOne) {
  for (int taken_count : {0, 1, 2, 3, 7, 8, 9, 1000}) {
    int asked = 0;
    const int n = FirstFreeNumber([&](int k) {
      ++asked;
      return k <= taken_count;
    });
    EXPECT_EQ(n, taken_count + 1);
    // Two look-ups per doubling and per halving, not one per taken number.
    EXPECT_LE(asked, 2 * 11 + 2) << taken_count;
  }

  const std::string dir = testing::MakeTempDir("output-names");
  std::set<std::string> made;
  for (int i = 0; i < 40; ++i) {
    int fd = -1;
    std::string path;
    ASSERT_EQ(CreateOutputFile(dir + "/IMG.jpg", &fd, &path), 0);
    ::close(fd);
    EXPECT_TRUE(made.insert(path).second) << path;
  }
  EXPECT_TRUE(made.count(dir + "/IMG.jpg"));
  EXPECT_TRUE(made.count(dir + "/IMG(39).jpg"));
  EXPECT_EQ(UniquePathIn(dir, "IMG.jpg"), dir + "/IMG(40).jpg");
  // A number freed below the last is not taken again, nor is any existing file.
  std::remove((dir + "/IMG(5).jpg").c_str());
  const std::string next = UniquePathIn(dir, "IMG.jpg");
  EXPECT_FALSE(std::ifstream(next).good());
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
