// `velmora info` on whole-disk images: the partition list and IMG@K.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/partition_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

class InfoPartitionsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("info-partitions"); }
  void TearDown() override { testing::RemoveTree(dir_); }

  nlohmann::json Info(const std::string& source, int expected_status = 0) {
    std::string output;
    const int status = testing::RunCommand(
        "'" + testing::VelmoraBinary() + "' info '" + source + "' --json 2>/dev/null", &output);
    EXPECT_EQ(status, expected_status) << output;
    return nlohmann::json::parse(output, nullptr, false);
  }

  testing::ScopedDataDir data_;
  std::string dir_;
};

TEST_F(InfoPartitionsTest, ExtendedPartitionImageListsItsLogicalPartition) {
  const std::string image = testing::SharedTestData("plaso/tsk_volume_system.raw");
  if (image.empty()) GTEST_SKIP() << "shared test data plaso/tsk_volume_system.raw is absent";
  const auto whole = Info(image);
  EXPECT_EQ(whole["partition_table"], "MBR");
  ASSERT_EQ(whole["partitions"].size(), 2u);
  EXPECT_EQ(whole["partitions"][1]["start"], 352);
  EXPECT_EQ(whole["partitions"][1]["slot"], 5);
  EXPECT_EQ(whole["partitions"][1]["kind"], "ext");

  const auto second = Info(image + "@2");
  EXPECT_EQ(second["kind"], "ext");
  EXPECT_EQ(second["region"]["start"], 352);
  EXPECT_EQ(second["size"], 2528 * 512);
  EXPECT_FALSE(second.contains("partitions"));
}

TEST_F(InfoPartitionsTest, GptImageWithAFatVolume) {
  const std::string fat = dir_ + "/fat.img";
  ASSERT_EQ(testing::RunCommand("truncate -s 20M '" + fat + "' && mkfs.fat -F 16 '" + fat + "'"),
            0);
  const std::string disk = dir_ + "/gpt.img";
  testing::WriteGptDisk(disk, 131072, {{2048, 0, "data", fat}, {63488, 2048, "empty", ""}});
  const auto whole = Info(disk);
  EXPECT_EQ(whole["partition_table"], "GPT");
  ASSERT_EQ(whole["partitions"].size(), 2u);
  EXPECT_EQ(whole["partitions"][0]["kind"], "FAT");
  EXPECT_EQ(whole["partitions"][0]["name"], "data");
  EXPECT_EQ(whole["partitions"][1]["kind"], "other");

  const auto first = Info(disk + "@1");
  EXPECT_EQ(first["kind"], "FAT");
  EXPECT_EQ(first["size"], 20 << 20);

  std::string output;
  EXPECT_EQ(
      testing::RunCommand("'" + testing::VelmoraBinary() + "' info '" + disk + "@3'", &output), 2);
  EXPECT_NE(output.find("has 2 partitions"), std::string::npos) << output;
}

}  // namespace
}  // namespace velmora
