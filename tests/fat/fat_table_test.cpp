// Boot-sector geometry and FAT entries on small hand-made volumes.
#include "fat/fat_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_file_reader.h"
#include "fat/fat_volume.h"
#include "storage/error_codes.h"
#include "storage/mapped_image.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

void Put16(std::vector<uint8_t>* b, size_t at, uint16_t v) {
  (*b)[at] = v & 0xFF;
  (*b)[at + 1] = v >> 8;
}
void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = (v >> (8 * i)) & 0xFF;
}

// A volume of 512-byte sectors, one sector per cluster and one FAT.
struct HandMadeVolume {
  std::vector<uint8_t> bytes;

  static HandMadeVolume Fat12(uint32_t total_sectors) {
    HandMadeVolume v;
    v.bytes.assign(total_sectors * 512, 0);
    v.Boot(total_sectors, /*fat_sectors=*/1, /*root_entries=*/16, /*fat32=*/false);
    return v;
  }
  // `image_sectors` may be fewer than the boot sector claims (a cut image).
  static HandMadeVolume Fat32(uint32_t total_sectors, uint32_t fat_sectors,
                              uint32_t image_sectors) {
    HandMadeVolume v;
    v.bytes.assign(image_sectors * 512, 0);
    v.Boot(total_sectors, fat_sectors, 0, true);
    return v;
  }
  void Boot(uint32_t total, uint32_t fat_sectors, uint16_t root_entries, bool fat32) {
    bytes[0] = 0xEB;
    Put16(&bytes, 11, 512);
    bytes[13] = 1;
    Put16(&bytes, 14, 1);  // reserved
    bytes[16] = 1;         // FATs
    Put16(&bytes, 17, root_entries);
    if (total < 65536 && !fat32) {
      Put16(&bytes, 19, static_cast<uint16_t>(total));
    } else {
      Put32(&bytes, 32, total);
    }
    if (fat32) {
      Put32(&bytes, 36, fat_sectors);
      Put32(&bytes, 44, 2);
      std::memcpy(&bytes[82], "FAT32   ", 8);
    } else {
      Put16(&bytes, 22, static_cast<uint16_t>(fat_sectors));
    }
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
  }
  // Raw FAT12 entry at the FAT (sector 1).
  void SetFat12(uint32_t cluster, uint16_t value) {
    const size_t at = 512 + cluster + cluster / 2;
    if (cluster & 1) {
      bytes[at] = static_cast<uint8_t>((bytes[at] & 0x0F) | ((value & 0x0F) << 4));
      bytes[at + 1] = static_cast<uint8_t>(value >> 4);
    } else {
      bytes[at] = static_cast<uint8_t>(value & 0xFF);
      bytes[at + 1] = static_cast<uint8_t>((bytes[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
    }
  }
  std::string Write(const std::string& folder) const {
    const std::string path = folder + "/hand.img";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }
};

class FatTableTest : public ::testing::Test {
 protected:
  void SetUp() override { work_ = MakeTempDir("fat-table"); }
  void TearDown() override { RemoveTree(work_); }
  // Opens the volume and its FAT.
  bool Open(const HandMadeVolume& v) {
    if (OpenImageFile(&reader_, v.Write(work_)) != 0) return false;
    if (!ParseFatBootSector(v.bytes.data(), 512, &geometry_)) return false;
    volume_.Bind(&reader_, 0, reader_.total_sectors);
    volume_.SetSectorSize(512);
    table_.Attach(&volume_, geometry_);
    return true;
  }
  std::string work_;
  SectorReader reader_;
  FatVolume volume_;
  FatGeometry geometry_;
  FatTable table_;
};

TEST_F(FatTableTest, SmallVolumeIsFat12WithTheSixteenBitTotalAndItsOwnRootSize) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  ASSERT_TRUE(Open(v));
  EXPECT_EQ(geometry_.type, FatType::kFat12);
  EXPECT_EQ(geometry_.total_sectors, 100u);
  EXPECT_EQ(geometry_.root_directory_sectors, 1u);  // 16 entries, not a fixed 32 sectors
  EXPECT_EQ(geometry_.first_data_sector, 3u);
  EXPECT_EQ(geometry_.cluster_count, 97u);
  uint64_t sector = 0;
  ASSERT_TRUE(geometry_.ClusterToSector(0, &sector));
  EXPECT_EQ(sector, 2u);  // cluster 0 names the root region
  EXPECT_FALSE(geometry_.ClusterToSector(1, &sector));
  EXPECT_FALSE(geometry_.ClusterToSector(99, &sector));
}

TEST_F(FatTableTest, RejectsBootSectorsThatDescribeNoVolume) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  FatGeometry g;
  std::vector<uint8_t> broken = v.bytes;
  Put16(&broken, 11, 0);
  EXPECT_FALSE(ParseFatBootSector(broken.data(), 512, &g));
  broken = v.bytes;
  broken[13] = 3;  // sectors per cluster not a power of two
  EXPECT_FALSE(ParseFatBootSector(broken.data(), 512, &g));
  broken = v.bytes;
  Put16(&broken, 19, 3);  // data area starts past the end
  EXPECT_FALSE(ParseFatBootSector(broken.data(), 512, &g));
  std::vector<uint8_t> zeros(512, 0);
  EXPECT_FALSE(ParseFatBootSector(zeros.data(), 512, &g));
}

// The FAT width follows the cluster count alone: 4,084 clusters are FAT12, one more is FAT16.
TEST(FatWidthTest, TwelveBitsUpTo4084ClustersSixteenFrom4085) {
  for (const uint32_t clusters : {4084u, 4085u}) {
    std::vector<uint8_t> boot(512, 0);
    boot[0] = 0xEB;
    boot[2] = 0x90;
    Put16(&boot, 11, 512);
    boot[13] = 1;
    Put16(&boot, 14, 1);   // reserved
    boot[16] = 1;          // one FAT of 16 sectors, long enough for either width
    Put16(&boot, 17, 16);  // one root sector
    Put16(&boot, 19, static_cast<uint16_t>(clusters + 1 + 16 + 1));
    Put16(&boot, 22, 16);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    FatGeometry g;
    ASSERT_TRUE(ParseFatBootSector(boot.data(), boot.size(), &g)) << clusters;
    EXPECT_EQ(g.cluster_count, clusters);
    EXPECT_EQ(g.type, clusters == 4084 ? FatType::kFat12 : FatType::kFat16) << clusters;
    EXPECT_TRUE(IsFatBootSector(boot.data())) << clusters;
  }
}

TEST_F(FatTableTest, ReadsTwelveBitEntriesAtEvenAndOddClusters) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  v.SetFat12(2, 0x003);
  v.SetFat12(3, 0xABC);
  v.SetFat12(4, 0xFFF);
  v.SetFat12(5, 0x000);
  v.SetFat12(6, 0xFF7);
  ASSERT_TRUE(Open(v));
  uint32_t value = 0;
  ASSERT_EQ(table_.Entry(2, &value), 0);
  EXPECT_EQ(value, 0x003u);
  ASSERT_EQ(table_.Entry(3, &value), 0);
  EXPECT_EQ(value, 0xABCu);
  ASSERT_EQ(table_.Entry(4, &value), 0);
  EXPECT_TRUE(table_.IsEndOfChain(value));
  ASSERT_EQ(table_.Entry(5, &value), 0);
  EXPECT_TRUE(table_.IsFree(value));
  ASSERT_EQ(table_.Entry(6, &value), 0);
  EXPECT_TRUE(table_.IsBad(value));
  EXPECT_EQ(table_.Entry(99, &value), 87);  // past the last cluster
}

TEST_F(FatTableTest, Fat32ValuesKeepTwentyEightBitsAndTheWindowStopsAtTheVolumeEnd) {
  // The boot sector claims a 24 MiB FAT; the image ends after 64 KiB.
  HandMadeVolume v = HandMadeVolume::Fat32(4000000, 49152, 128);
  Put32(&v.bytes, 512 + 5 * 4, 0xF0000006);
  Put32(&v.bytes, 512 + 6 * 4, 0xFFFFFFFF);
  ASSERT_TRUE(Open(v));
  EXPECT_EQ(geometry_.type, FatType::kFat32);
  uint32_t value = 0;
  ASSERT_EQ(table_.Entry(5, &value), 0);
  EXPECT_EQ(value, 6u);
  EXPECT_TRUE(table_.IsLink(value));
  ASSERT_EQ(table_.Entry(6, &value), 0);
  EXPECT_TRUE(table_.IsEndOfChain(value));
  // An entry beyond the image cannot be read, and says so.
  EXPECT_NE(table_.Entry(200000, &value), 0);
}

TEST_F(FatTableTest, ChainsThatLoopOrEndEarlyStopInsideTheDataArea) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  v.SetFat12(2, 3);
  v.SetFat12(3, 2);  // a loop
  v.SetFat12(10, 0xFFF);
  for (uint32_t c = 3; c < 99; ++c) std::memset(&v.bytes[(3 + c - 2) * 512], 'A' + c % 26, 512);
  ASSERT_TRUE(Open(v));
  FatClusterWalk walk(&table_, 2);
  EXPECT_TRUE(walk.FollowsChain());
  int steps = 0;
  while (walk.Advance() && steps < 1000) ++steps;
  EXPECT_LT(steps, 100);

  // A live chain that ends before the size: only its own cluster is delivered.
  std::string data;
  const auto sink = [&](const uint8_t* d, size_t n) {
    data.append(reinterpret_cast<const char*>(d), n);
    return 0;
  };
  EXPECT_EQ(ReadFatFileData(volume_, &table_, 10, 2000, sink), 38);
  EXPECT_EQ(data, std::string(512, 'A' + 10 % 26));
  // No first cluster: nothing is read from in front of the data area.
  data.clear();
  EXPECT_EQ(ReadFatFileData(volume_, &table_, 0, 100, sink), 87);
  EXPECT_TRUE(data.empty());
}

TEST_F(FatTableTest, ReleasedChainStepsOverClustersInUse) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  v.SetFat12(5, 0xFFF);  // another file sits in cluster 5
  for (uint32_t c = 2; c < 99; ++c) std::memset(&v.bytes[(3 + c - 2) * 512], 'a' + c % 26, 512);
  ASSERT_TRUE(Open(v));
  std::string data;
  ASSERT_EQ(ReadFatFileData(volume_, &table_, 4, 1100,
                            [&](const uint8_t* d, size_t n) {
                              data.append(reinterpret_cast<const char*>(d), n);
                              return 0;
                            }),
            0);
  ASSERT_EQ(data.size(), 1100u);
  EXPECT_EQ(data.substr(0, 512), std::string(512, 'a' + 4));
  EXPECT_EQ(data.substr(512, 512), std::string(512, 'a' + 6));
  EXPECT_EQ(data.substr(1024), std::string(76, 'a' + 7));
}

// A deleted file's read never takes a live file's chain, and tells which bytes can be its own.
TEST_F(FatTableTest, DeletedFileReadKeepsToClustersNoLiveFileOwns) {
  HandMadeVolume v = HandMadeVolume::Fat12(100);
  v.SetFat12(4, 0xFFF);  // a live file in cluster 4: the deleted file's first cluster
  v.SetFat12(7, 0xFFF);  // and one in cluster 7, inside the deleted file's run
  for (uint32_t c = 2; c < 99; ++c) std::memset(&v.bytes[(3 + c - 2) * 512], 'a' + c % 26, 512);
  for (uint32_t c = 9; c < 99; ++c) v.SetFat12(c, 0xFFF);  // the rest of the volume is in use
  ASSERT_TRUE(Open(v));
  std::string data;
  const auto sink = [&](const uint8_t* d, size_t n) {
    data.append(reinterpret_cast<const char*>(d), n);
    return 0;
  };
  DeletedFileRead read;
  EXPECT_EQ(ReadFatFileData(volume_, &table_, 4, 1500, sink, &read), kErrClusterOfLiveFile);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(read.own_bytes, 0u);
  // From cluster 5: 5 and 6 are its own, 7 is stepped over to 8, then nothing is free.
  EXPECT_EQ(ReadFatFileData(volume_, &table_, 5, 4 * 512, sink, &read), kErrHandleEof);
  EXPECT_EQ(data.size(), 3u * 512);
  EXPECT_EQ(read.own_bytes, 2u * 512);
  // Exactly the clusters before the live one: all of it is its own.
  data.clear();
  EXPECT_EQ(ReadFatFileData(volume_, &table_, 5, 2 * 512, sink, &read), kSuccess);
  EXPECT_EQ(read.own_bytes, 2u * 512);
}

TEST(FatVolumeViewTest, ImageSectorsAreShownInPlaceUpToTheVolumeEnd) {
  const std::string dir = testing::MakeTempDir("fat-view");
  const std::string path = dir + "/disk.img";
  std::vector<uint8_t> bytes(64 * 512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path), kSuccess);
  FatVolume volume;
  volume.Bind(&reader, 10, 40);  // a volume from sector 10 to 49 of the disk
  MappedImage image;
  ASSERT_TRUE(image.Attach(volume.Reader()));
  const uint8_t* view = volume.View(&image, 2, 3);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 12);
  EXPECT_EQ(view[3 * 512 - 1], 14);
  // Ending exactly at the volume's last sector is shown, one sector more is not.
  EXPECT_NE(volume.View(&image, 39, 1), nullptr);
  EXPECT_EQ(volume.View(&image, 39, 2), nullptr);
  EXPECT_EQ(volume.View(&image, 40, 1), nullptr);
  EXPECT_EQ(volume.View(nullptr, 2, 1), nullptr);
  // Sources without a file (memory, containers) are read as before.
  SectorReader memory;
  ASSERT_EQ(OpenMemorySource(&memory, bytes), kSuccess);
  FatVolume in_memory;
  in_memory.Bind(&memory, 0, 64);
  EXPECT_EQ(in_memory.View(&image, 0, 1), nullptr);
  reader.Close();
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
