// Sources with a partition table (card dumps, disk images) are scanned partition by partition.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/partition_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

class PartitionScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    dir_ = testing::MakeTempDir("partition-scan");
    MakeVolume("first.img", 16, "/Report One.txt", 1);
    MakeVolume("second.img", 12, "/Holiday Two.txt", 2);
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }
  void MakeVolume(const std::string& name, int bits, const std::string& deleted, uint64_t seed) {
    testing::FatVolumeBuilder fat(dir_ + "/" + name, bits, bits == 16 ? 16 << 20 : 4 << 20);
    fat.AddFile("/keep.txt", testing::RandomText(700, seed + 10));
    fat.AddFile(deleted, testing::RandomText(20000, seed));
    fat.Delete(deleted);
    truths_[name] = fat.Finish();
  }
  int Velmora(const std::string& arguments, std::string* output) {
    return RunCommand(ShellQuote(testing::VelmoraBinary()) + " " + arguments, output);
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::map<std::string, testing::VolumeTruth> truths_;
};

TEST_F(PartitionScanTest, MbrAndGptImagesAreScannedAndListedPerPartition) {
  const std::string mbr = dir_ + "/card.img";
  testing::WriteMbrDisk(mbr, 65536, {{2048, 0, testing::kMbrTypeFat16Lba, dir_ + "/first.img"},
                                      {40960, 0, testing::kMbrTypeFat12, dir_ + "/second.img"}});
  const std::string gpt = dir_ + "/disk.img";
  testing::WriteGptDisk(gpt, 65536, {{2048, 0, "one", dir_ + "/first.img"},
                                     {40960, 0, "two", dir_ + "/second.img"}});
  for (const std::string& image : {mbr, gpt}) {
    SCOPED_TRACE(image);
    std::string out;
    ASSERT_EQ(Velmora("scan " + ShellQuote(image) + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("holds 2 partitions"), std::string::npos) << out;
    ASSERT_EQ(Velmora("scan " + ShellQuote(image) + " --json 2>/dev/null", &out), 0);
    const auto scanned = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(scanned.is_object()) << out;
    ASSERT_EQ(scanned["partitions"].size(), 2u);
    EXPECT_EQ(scanned["partitions"][1]["partition"], 2);
    EXPECT_EQ(scanned["partitions"][1]["files"], 1);

    ASSERT_EQ(Velmora("list " + ShellQuote(image) + " --json 2>/dev/null", &out), 0);
    const auto listed = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(listed.is_array()) << out;
    std::map<std::string, int> partition_of;
    for (const auto& file : listed) partition_of[file["name"]] = file["partition"];
    EXPECT_EQ(partition_of["Report One.txt"], 1);
    EXPECT_EQ(partition_of["Holiday Two.txt"], 2);
    ASSERT_EQ(Velmora("list " + ShellQuote(image) + " 2>/dev/null", &out), 0);
    EXPECT_EQ(out.rfind("PART ID", 0), 0u) << out;
    EXPECT_NE(out.find("\n2    "), std::string::npos) << out;
  }
  // The partition named as IMG@K gives the file back byte for byte.
  const std::string to = dir_ + "/out";
  std::string out;
  ASSERT_EQ(Velmora("recover " + ShellQuote(mbr + "@2") + " --to " + ShellQuote(to) + " 2>&1", &out), 0)
      << out;
  ASSERT_EQ(RunCommand("md5sum " + ShellQuote(to + "/document/Holiday Two.txt"), &out), 0) << out;
  EXPECT_EQ(out.substr(0, 32), truths_["second.img"].Find("/Holiday Two.txt")->md5);
}

}  // namespace
}  // namespace velmora
