#include "deep/boot_sector_classifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "deep/engine_factory.h"
#include "fat/fat_boot_geometry.h"
#include "ntfs/ntfs_geometry.h"
#include "support/test_env.h"

namespace velmora {
namespace {

std::vector<uint8_t> ReadHead(const std::string& path, size_t bytes = 16384) {
  std::vector<uint8_t> head(bytes, 0);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(bytes));
  return head;
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

// Volumes made by the real formatting tools, once for the whole suite.
class BootSectorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(testing::MakeTempDir("boot"));
    auto make = [](const std::string& name, const std::string& size, const std::string& format) {
      const std::string path = *dir_ + "/" + name;
      const std::string command = "truncate -s " + size + " " + path + " && " + format + " " + path;
      return testing::RunCommand(command) == 0 ? path : std::string();
    };
    ntfs_ = new std::string(make("ntfs.img", "16M", "mkntfs -F -q -Q"));
    fat12_ = new std::string(make("fat12.img", "2M", "mkfs.fat -F 12"));
    fat16_ = new std::string(make("fat16.img", "32M", "mkfs.fat -F 16"));
    fat32_ = new std::string(make("fat32.img", "64M", "mkfs.fat -F 32"));
    ext2_ = new std::string(make("ext2.img", "8M", "mke2fs -q -F -t ext2"));
    ext4_ = new std::string(make("ext4.img", "32M", "mke2fs -q -F -t ext4"));
  }
  static void TearDownTestSuite() {
    testing::RemoveTree(*dir_);
    for (auto* p : {dir_, ntfs_, fat12_, fat16_, fat32_, ext2_, ext4_}) delete p;
  }

  static std::string *dir_, *ntfs_, *fat12_, *fat16_, *fat32_, *ext2_, *ext4_;
};
std::string *BootSectorTest::dir_, *BootSectorTest::ntfs_, *BootSectorTest::fat12_,
    *BootSectorTest::fat16_, *BootSectorTest::fat32_, *BootSectorTest::ext2_,
    *BootSectorTest::ext4_;

TEST_F(BootSectorTest, RealVolumesAreClassifiedByTheirTools) {
  for (const auto* path : {ntfs_, fat12_, fat16_, fat32_, ext2_, ext4_}) {
    ASSERT_FALSE(path->empty()) << "a formatting tool failed";
  }
  EXPECT_EQ(ClassifyBootArea(ReadHead(*ntfs_).data()), FileSystemKind::kNtfs);
  EXPECT_EQ(ClassifyBootArea(ReadHead(*fat12_).data()), FileSystemKind::kFat);
  EXPECT_EQ(ClassifyBootArea(ReadHead(*fat16_).data()), FileSystemKind::kFat);
  EXPECT_EQ(ClassifyBootArea(ReadHead(*fat32_).data()), FileSystemKind::kFat);
  EXPECT_EQ(ClassifyBootArea(ReadHead(*ext2_).data()), FileSystemKind::kExt);
  EXPECT_EQ(ClassifyBootArea(ReadHead(*ext4_).data()), FileSystemKind::kExt);

  std::vector<uint8_t> zeros(16384, 0);
  EXPECT_EQ(ClassifyBootArea(zeros.data()), FileSystemKind::kOther);
  std::vector<uint8_t> noise(16384);
  uint32_t x = 12345;
  for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  EXPECT_EQ(ClassifyBootArea(noise.data()), FileSystemKind::kOther);
}

TEST_F(BootSectorTest, DamagedNtfsBootSectorsAreRefused) {
  const auto good = ReadHead(*ntfs_, 512);
  ASSERT_TRUE(IsNtfsBootSector(good.data()));

  // The selection reads the cluster byte as the engines do: 0x80 counts 128 sectors
  // (64 KiB clusters), 0xF4 is 2^12 sectors, the largest; 0xF3 and 3 name no cluster.
  auto sector = good;
  for (const int field : {0x80, 0xF4}) {
    sector[0x0D] = static_cast<uint8_t>(field);
    EXPECT_TRUE(IsNtfsBootSector(sector.data())) << field;
  }
  for (const int field : {0xF3, 0x03}) {
    sector[0x0D] = static_cast<uint8_t>(field);
    ntfs::NtfsGeometry geometry;
    EXPECT_FALSE(IsNtfsBootSector(sector.data())) << field;
    EXPECT_FALSE(ntfs::ParseNtfsBootSector(sector.data(), 512, &geometry)) << field;
  }
  sector = good;
  sector[0x1FF] = 0;
  EXPECT_FALSE(IsNtfsBootSector(sector.data()));
  sector = good;
  sector[0x16] = 1;  // a FAT size field
  EXPECT_FALSE(IsNtfsBootSector(sector.data()));
  sector = good;
  std::memset(sector.data() + 0x28, 0, 8);
  EXPECT_FALSE(IsNtfsBootSector(sector.data()));
  sector = good;
  Put16(sector.data() + 0x0B, 0);  // 0 is a multiple of 512 and passes
  EXPECT_TRUE(IsNtfsBootSector(sector.data()));
  sector[0x15] = 0x12;  // the media byte is not tested
  EXPECT_TRUE(IsNtfsBootSector(sector.data()));
}

TEST_F(BootSectorTest, FatRefusesBitLockerAndBrokenGeometry) {
  const auto good = ReadHead(*fat32_, 512);
  ASSERT_TRUE(IsFatBootSector(good.data()));
  auto sector = good;
  std::memcpy(sector.data() + 3, "-FVE-FS-", 8);
  EXPECT_TRUE(IsBitLockerBootSector(sector.data()));
  EXPECT_FALSE(IsFatBootSector(sector.data()));

  sector = ReadHead(*fat16_, 512);
  ASSERT_TRUE(IsFatBootSector(sector.data()));
  uint8_t* tail = sector.data() + 0x1E0;
  std::memset(tail, 0x78, 8);
  std::memset(tail + 8, 0xFF, 19);
  tail[27] = 0x00;
  tail[28] = 0x1F;
  tail[29] = 0x2C;
  EXPECT_TRUE(IsBitLockerBootSector(sector.data()));

  sector = good;
  sector[0x0D] = 0;
  EXPECT_FALSE(IsFatBootSector(sector.data()));
  sector = good;
  Put16(sector.data() + 0x0B, 500);
  EXPECT_FALSE(IsFatBootSector(sector.data()));
  sector = good;
  sector[0x0D] = 3;  // not a power of two
  EXPECT_FALSE(IsFatBootSector(sector.data()));
  sector = good;
  Put32(sector.data() + 0x20, 0);  // FAT32 needs its 32-bit total
  EXPECT_FALSE(IsFatBootSector(sector.data()));
}

TEST(ExtSuperblockTest, FirstDataBlockMustFitTheBlockSize) {
  std::vector<uint8_t> sb(1024, 0);
  Put16(sb.data() + 0x38, 0xEF53);
  Put32(sb.data() + 0x00, 2048);  // inodes
  Put32(sb.data() + 0x04, 8192);  // blocks
  Put32(sb.data() + 0x20, 8192);  // blocks per group
  Put32(sb.data() + 0x28, 2048);  // inodes per group
  Put32(sb.data() + 0x54, 11);    // first inode
  Put32(sb.data() + 0x18, 2);     // 4096-byte blocks
  Put32(sb.data() + 0x14, 0);
  EXPECT_TRUE(IsExtSuperblock(sb.data()));
  Put32(sb.data() + 0x18, 0);  // 1024-byte blocks need first data block 1
  EXPECT_FALSE(IsExtSuperblock(sb.data()));
  Put32(sb.data() + 0x14, 1);
  Put32(sb.data() + 0x04, 8193);
  EXPECT_TRUE(IsExtSuperblock(sb.data()));
  Put32(sb.data() + 0x54, 2);
  EXPECT_FALSE(IsExtSuperblock(sb.data()));
}

TEST(SharedImagesTest, RealImagesFromOtherProjectsClassify) {
  const std::pair<const char*, FileSystemKind> cases[] = {
      {"dftt/6-undel-fat/6-fat-undel.dd", FileSystemKind::kFat},
      {"rust-fatfs/fat12.img", FileSystemKind::kFat},
      {"rust-fatfs/fat16.img", FileSystemKind::kFat},
      {"velociraptor/test.ntfs.dd", FileSystemKind::kNtfs},
      {"ntfs-rust-crate/testfs1", FileSystemKind::kNtfs},
      {"dftt/4-kwsrch-ext3/ext3-img-kw-1.dd", FileSystemKind::kExt},
  };
  if (testing::SharedTestData("dftt").empty()) GTEST_SKIP() << "../shared/testdata is absent";
  for (const auto& [relative, kind] : cases) {
    const std::string path = testing::SharedTestData(relative);
    ASSERT_FALSE(path.empty()) << relative;
    EXPECT_EQ(ClassifyBootArea(ReadHead(path).data()), kind) << relative;
  }
}

TEST_F(BootSectorTest, FactoryRefusesShortAndUnknownImagesAndServesExt) {
  const std::string short_image = *dir_ + "/short.img";
  std::ofstream(short_image, std::ios::binary) << std::string(16383, '\0');
  EXPECT_EQ(CreateEngineForImage(short_image, u'A', false), nullptr);
  EXPECT_EQ(CreateEngineForImage(*dir_ + "/absent.img", u'A', false), nullptr);

  const std::string zeros = *dir_ + "/zeros.img";
  std::ofstream(zeros, std::ios::binary) << std::string(65536, '\0');
  EXPECT_EQ(CreateEngineForImage(zeros, u'A', false), nullptr);

  auto ext = CreateEngineForImage(*ext4_, u'A', false);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->Scan(nullptr), 0);
  EXPECT_EQ(ext->GetRecordCount(), 0u);
  ScanRecordList children;
  EXPECT_EQ(ext->GetChildren(nullptr, 0, &children), 0);
  EXPECT_TRUE(children.empty());
}

}  // namespace
}  // namespace velmora
