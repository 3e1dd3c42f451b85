#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "support/test_env.h"

namespace velmora {
namespace {

class InfoCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("info"); }
  void TearDown() override { testing::RemoveTree(dir_); }

  int Info(const std::string& source, std::string* output) {
    return testing::RunCommand(testing::VelmoraBinary() + " info '" + source + "' --json", output);
  }

  std::string Kind(const std::string& source) {
    std::string output;
    EXPECT_EQ(Info(source, &output), 0) << output;
    const auto json = nlohmann::json::parse(output, nullptr, false);
    if (!json.is_object()) return "unparsable: " + output;
    EXPECT_EQ(json["sector_size"], 512);
    return json["kind"];
  }

  std::string Make(const std::string& name, const std::string& size, const std::string& format) {
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(testing::RunCommand("truncate -s " + size + " " + path + " && " + format + " " + path), 0);
    return path;
  }

  testing::ScopedDataDir data_;
  std::string dir_;
};

TEST_F(InfoCommandTest, ReportsTheKindOfRealVolumes) {
  EXPECT_EQ(Kind(Make("n.img", "16M", "mkntfs -F -q -Q")), "NTFS");
  EXPECT_EQ(Kind(Make("f12.img", "1M", "mkfs.fat -F 12")), "FAT");
  EXPECT_EQ(Kind(Make("f16.img", "20M", "mkfs.fat -F 16")), "FAT");
  EXPECT_EQ(Kind(Make("f32.img", "40M", "mkfs.fat -F 32")), "FAT");
  EXPECT_EQ(Kind(Make("e2.img", "4M", "mke2fs -q -F -t ext2")), "ext");
  EXPECT_EQ(Kind(Make("e4.img", "16M", "mke2fs -q -F -t ext4")), "ext");
  EXPECT_EQ(Kind(Make("zero.img", "1M", "true")), "other");
  EXPECT_EQ(Kind(Make("random.img", "1M", "head -c 1048576 /dev/urandom >")), "other");
}

TEST_F(InfoCommandTest, NtfsValuesComeFromTheBootSector) {
  const std::string image = Make("big.img", "64M", "mkntfs -F -q -Q -c 8192");
  std::string output;
  ASSERT_EQ(Info(image, &output), 0);
  const auto json = nlohmann::json::parse(output);
  EXPECT_EQ(json["size"], 64u << 20);
  EXPECT_EQ(json["ntfs"]["sectors_per_cluster"], 16);
  EXPECT_EQ(json["ntfs"]["mft_record_size"], 1024);
}

TEST_F(InfoCommandTest, UnusableSourcesFailWithStatusTwoAndOneLine) {
  std::ofstream(dir_ + "/small.img", std::ios::binary) << std::string(10240, 'x');
  std::string output;
  EXPECT_EQ(Info(dir_ + "/small.img", &output), 2);
  EXPECT_NE(output.find("too short"), std::string::npos) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_EQ(Info(dir_ + "/missing.img", &output), 2);
  EXPECT_NE(output.find("No such file"), std::string::npos) << output;
  EXPECT_EQ(Info(dir_, &output), 2) << "a directory is not a source";
  EXPECT_EQ(testing::RunCommand(testing::VelmoraBinary() + " info", &output), 2);
}

TEST_F(InfoCommandTest, SharedImagesAreClassified) {
  if (testing::SharedTestData("dftt").empty()) GTEST_SKIP() << "../shared/testdata is absent";
  EXPECT_EQ(Kind(testing::SharedTestData("dftt/6-undel-fat/6-fat-undel.dd")), "FAT");
  EXPECT_EQ(Kind(testing::SharedTestData("rust-fatfs/fat12.img")), "FAT");
  EXPECT_EQ(Kind(testing::SharedTestData("velociraptor/test.ntfs.dd")), "NTFS");
  EXPECT_EQ(Kind(testing::SharedTestData("dftt/4-kwsrch-ext3/ext3-img-kw-1.dd")), "ext");
}

}  // namespace
}  // namespace velmora
