#include "ntfs/ntfs_geometry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace velmora::ntfs {
namespace {

std::vector<uint8_t> BootSector(uint16_t bytes_per_sector, uint8_t sectors_per_cluster,
                                uint8_t record_field) {
  std::vector<uint8_t> s(512, 0);
  std::memcpy(s.data() + 3, "NTFS    ", 8);
  s[0x0B] = bytes_per_sector & 0xFF;
  s[0x0C] = bytes_per_sector >> 8;
  s[0x0D] = sectors_per_cluster;
  const uint64_t total = 1 << 20;
  std::memcpy(s.data() + 0x28, &total, 8);
  const uint64_t mft = 4;
  std::memcpy(s.data() + 0x30, &mft, 8);
  s[0x40] = record_field;
  s[0x1FE] = 0x55;
  s[0x1FF] = 0xAA;
  return s;
}

TEST(NtfsGeometryTest, RecordSizeComesFromTheBootSector) {
  NtfsGeometry g;
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(512, 8, 0xF6).data(), 512, &g));
  EXPECT_EQ(g.cluster_size, 4096u);
  EXPECT_EQ(g.mft_record_size, 1024u);
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(512, 8, 0xF4).data(), 512, &g));
  EXPECT_EQ(g.mft_record_size, 4096u);  // 4 KiB records on 512-byte sectors
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(512, 2, 0x01).data(), 512, &g));
  EXPECT_EQ(g.mft_record_size, 1024u);  // positive: clusters per record
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(4096, 1, 0x00).data(), 512, &g));
  EXPECT_EQ(g.mft_record_size, 4096u);  // unusable field: one sector
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(512, 1, 0x00).data(), 512, &g));
  EXPECT_EQ(g.mft_record_size, 1024u);
  ASSERT_TRUE(ParseNtfsBootSector(BootSector(512, 0xF4, 0xF6).data(), 512, &g));
  EXPECT_EQ(g.sectors_per_cluster, 4096u);  // large clusters as a negative power of two
}

TEST(NtfsGeometryTest, ImpossibleLayoutsAreRefused) {
  NtfsGeometry g;
  EXPECT_FALSE(ParseNtfsBootSector(BootSector(512, 0, 0xF6).data(), 512, &g));
  EXPECT_FALSE(ParseNtfsBootSector(BootSector(513, 8, 0xF6).data(), 512, &g));
  EXPECT_FALSE(ParseNtfsBootSector(BootSector(512, 3, 0xF6).data(), 512, &g));
  auto sector = BootSector(512, 8, 0xF6);
  const uint64_t far_away = uint64_t{1} << 40;
  std::memcpy(sector.data() + 0x30, &far_away, 8);
  EXPECT_FALSE(ParseNtfsBootSector(sector.data(), 512, &g));
  sector = BootSector(512, 8, 0xF6);
  sector[3] = 'X';
  EXPECT_FALSE(ParseNtfsBootSector(sector.data(), 512, &g));
}

}  // namespace
}  // namespace velmora::ntfs

namespace velmora::ntfs {
namespace {

// The copy lies right after the counted sectors; a boot sector anywhere else is not it.
TEST(BackupBootSectorTest, OnlyRightAfterTheCountedSectors) {
  NtfsGeometry g;
  g.bytes_per_sector = 512;
  g.cluster_size = 4096;
  g.total_sectors = 49151;
  const uint64_t counted = 49151ull * 512;
  EXPECT_TRUE(IsBackupBootSectorAt(g, counted));
  EXPECT_TRUE(IsBackupBootSectorAt(g, counted + 4096 - 512));
  EXPECT_FALSE(IsBackupBootSectorAt(g, counted + 4096));
  EXPECT_FALSE(IsBackupBootSectorAt(g, counted - 512));
  g.total_sectors = UINT64_MAX;
  EXPECT_FALSE(IsBackupBootSectorAt(g, counted));
}

}  // namespace
}  // namespace velmora::ntfs
