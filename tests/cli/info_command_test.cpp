#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <vector>

#include "deep/boot_sector_classifier.h"
#include "deep/engine_factory.h"
#include "fat/fat_boot_geometry.h"
#include "ntfs/ntfs_geometry.h"
#include "storage/byte_source.h"
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
    EXPECT_EQ(
        testing::RunCommand("truncate -s " + size + " " + path + " && " + format + " " + path), 0);
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

TEST_F(InfoCommandTest, FatVolumesNameTheirFatType) {
  for (const auto& [bits, size] : {std::pair{12, "1M"}, {16, "20M"}, {32, "40M"}}) {
    const std::string type = "FAT" + std::to_string(bits);
    const std::string path =
        Make("t" + std::to_string(bits) + ".img", size, "mkfs.fat -F " + std::to_string(bits));
    std::string output;
    ASSERT_EQ(Info(path, &output), 0) << output;
    EXPECT_EQ(nlohmann::json::parse(output, nullptr, false)["fat_type"], type);
    ASSERT_EQ(testing::RunCommand(testing::VelmoraBinary() + " info '" + path + "'", &output), 0);
    EXPECT_NE(output.find("kind:         " + type + "\n"), std::string::npos) << output;
  }
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

// What info prints and what the engines do must come from one reading of the boot
// sector: a volume info calls usable gets an engine, one it calls unusable gets none,
// and the values are the engines' own geometry.
class BootSectorAgreementTest : public InfoCommandTest {
 protected:
  void ExpectAgreement(const std::string& path) {
    // The bytes info reads: an evidence set's media, a plain file's own bytes.
    std::vector<uint8_t> area(16384, 0);
    std::shared_ptr<ByteSource> source;
    if (OpenByteSource(path, &source) == 0 && source->Size() >= area.size()) {
      source->ReadAt(0, area.data(), area.size(), nullptr);
    }
    std::string output;
    if (Info(path, &output) != 0) return;  // too short to hold a file system
    const auto json = nlohmann::json::parse(output, nullptr, false);
    ASSERT_TRUE(json.is_object()) << path << ": " << output;
    const FileSystemKind kind = ClassifyBootArea(area.data());
    EXPECT_EQ(json["kind"], FileSystemKindName(kind)) << path;
    bool usable = false;
    if (kind == FileSystemKind::kNtfs) {
      ntfs::NtfsGeometry g;
      usable = ntfs::ParseNtfsBootSector(area.data(), 512, &g);
      if (usable) {
        EXPECT_EQ(json["ntfs"]["mft_record_size"], g.mft_record_size) << path;
        EXPECT_EQ(json["ntfs"]["sectors_per_cluster"], g.sectors_per_cluster) << path;
        EXPECT_EQ(json["ntfs"]["mft_cluster"], g.mft_first_cluster) << path;
      }
      EXPECT_EQ(json["ntfs"].value("usable", true), usable) << path;
    } else if (kind == FileSystemKind::kFat) {
      FatGeometry g;
      usable = ParseFatBootSector(area.data(), 512, &g);
      if (usable) {
        EXPECT_EQ(json["fat"]["type"], FatTypeName(g.type)) << path;
        EXPECT_EQ(json["fat"]["clusters"], g.cluster_count) << path;
        EXPECT_EQ(json["fat"]["fat_size"], g.sectors_per_fat) << path;
      }
      EXPECT_EQ(json["fat"].value("usable", true), usable) << path;
    } else {
      return;
    }
    ++checked_;
    // Whole-disk images hold their volumes further in; only a volume at the start counts.
    if (json.contains("partitions")) return;
    EXPECT_EQ(CreateEngineForImage(path, u'Z', false) != nullptr, usable) << path;
  }

  int checked_ = 0;
};

TEST_F(BootSectorAgreementTest, GeneratedVolumesAndHandMadeBootSectors) {
  ExpectAgreement(Make("n4k.img", "16M", "mkntfs -F -q -Q"));
  ExpectAgreement(Make("n8k.img", "64M", "mkntfs -F -q -Q -c 8192"));
  ExpectAgreement(Make("n64k.img", "64M", "mkntfs -F -q -Q -c 65536"));  // 0x80 sectors per cluster
  ExpectAgreement(Make("f12.img", "1M", "mkfs.fat -F 12"));
  ExpectAgreement(Make("f16.img", "20M", "mkfs.fat -F 16"));
  ExpectAgreement(Make("f32.img", "40M", "mkfs.fat -F 32"));
  // A record-size byte of 0x80 would shift by 128; the engines fall back to 1024 bytes.
  const std::string odd = Make("odd.img", "16M", "mkntfs -F -q -Q");
  ASSERT_EQ(testing::RunCommand("printf '\\200' | dd of=" + odd +
                                " bs=1 seek=64 conv=notrunc status=none"),
            0);
  ExpectAgreement(odd);
  std::string output;
  ASSERT_EQ(Info(odd, &output), 0);
  EXPECT_EQ(nlohmann::json::parse(output)["ntfs"]["mft_record_size"], 1024);
  // A FAT boot sector the selection accepts but whose FAT cannot describe the volume.
  const std::string broken = Make("broken.img", "1M", "mkfs.fat -F 12");
  ASSERT_EQ(testing::RunCommand("printf '\\0\\0' | dd of=" + broken +
                                " bs=1 seek=14 conv=notrunc status=none"),
            0);
  ExpectAgreement(broken);
  EXPECT_EQ(checked_, 8);
}

TEST_F(BootSectorAgreementTest, EverySharedImage) {
  const std::string root = testing::SharedTestData("");
  if (root.empty()) GTEST_SKIP() << "../shared/testdata is absent";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.file_size() >= 16384) ExpectAgreement(entry.path());
  }
  EXPECT_GT(checked_, 5);
}

}  // namespace
}  // namespace velmora
