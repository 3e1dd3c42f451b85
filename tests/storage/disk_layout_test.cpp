#include <gtest/gtest.h>

#include "storage/device_monitor.h"
#include "storage/disk_enumerator.h"
#include "storage/platform_disks.h"

namespace velmora {
namespace {

PartitionEntry Volume(uint64_t start, uint64_t length) {
  PartitionEntry entry;
  entry.kind = RegionKind::kVolume;
  entry.disk = 0;
  entry.start = start;
  entry.length = length;
  return entry;
}

TEST(LayOutDisk, AlignedVolumeShowsNoLeadingGapButAnOldStyleGapDoes) {
  // 1 MiB alignment: [63, 2048) is narrower than one cylinder.
  auto list =
      LayOutDisk(0, 2048 + 1000, 512, kDefaultSectorsPerCylinder, false, {Volume(2048, 1000)});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].kind, RegionKind::kVolume);

  // A volume at sector 20000 leaves [63, 20000): wider than 16065 sectors.
  list = LayOutDisk(0, 20000 + 1000, 512, kDefaultSectorsPerCylinder, false, {Volume(20000, 1000)});
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].kind, RegionKind::kUnallocated);
  EXPECT_EQ(list[0].start, 63u);
  EXPECT_EQ(list[0].length, 20000u - 63);
  EXPECT_EQ(list[0].total, (20000u - 63) * 512);
  EXPECT_EQ(list[0].free, list[0].total);
  EXPECT_EQ(list[0].used, 0u);
}

TEST(LayOutDisk, GapsBetweenAndAfterVolumesFollowTheCylinderRule) {
  const uint64_t cylinder = 16065;
  auto list =
      LayOutDisk(3, 200000, 4096, cylinder, true,
                 {Volume(100000, 10000), Volume(2048, 20480), Volume(22528 + cylinder, 1000)});
  // [22528, 38593) is exactly one cylinder: no gap. [39593, 100000) is; so is the tail.
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].start, 2048u);
  EXPECT_EQ(list[1].start, 22528u + cylinder);
  EXPECT_EQ(list[2].kind, RegionKind::kUnallocated);
  EXPECT_EQ(list[2].start, 22528u + cylinder + 1000);
  EXPECT_EQ(list[2].length, 100000u - (22528 + cylinder + 1000));
  EXPECT_EQ(list[3].start, 100000u);
  EXPECT_EQ(list[4].kind, RegionKind::kUnallocated);
  EXPECT_EQ(list[4].start, 110000u);
  EXPECT_EQ(list[4].length, 90000u);
  EXPECT_EQ(list[4].total, 90000u * 4096);
  EXPECT_EQ(list[4].disk, 3);
  EXPECT_TRUE(list[4].removable);
}

TEST(LayOutDisk, VolumesBeforeSector63OrNestedAddNoBogusGap) {
  // A volume at sector 1 (as in old layouts) and one nested inside another:
  // unsigned "start - cursor" would wrap around here.
  auto list =
      LayOutDisk(0, 3000, 512, 100, false, {Volume(1, 2000), Volume(500, 100), Volume(2500, 400)});
  ASSERT_EQ(list.size(), 4u);  // [2001, 2500) is 499 > 100: one real gap
  EXPECT_EQ(list[0].start, 1u);
  EXPECT_EQ(list[1].start, 500u);
  EXPECT_EQ(list[2].kind, RegionKind::kUnallocated);
  EXPECT_EQ(list[2].start, 2001u);
  EXPECT_EQ(list[2].length, 499u);
  for (const auto& entry : list) EXPECT_LT(entry.start + entry.length, 3001u);
}

TEST(LayOutDisk, DiskWithoutVolumesIsOneWholeDiskEntry) {
  auto list = LayOutDisk(2, 32768, 512, kDefaultSectorsPerCylinder, false, {});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].kind, RegionKind::kWholeDisk);
  EXPECT_EQ(list[0].type, 0);
  EXPECT_EQ(list[0].start, 0u);
  EXPECT_EQ(list[0].length, 32768u);
  EXPECT_EQ(list[0].total, 32768u * 512);
  EXPECT_EQ(list[0].free, list[0].total);
  EXPECT_TRUE(LayOutDisk(2, 0, 512, 1, false, {}).empty());
}

TEST(NumberEntries, PositionsCountAcrossDisksAndBeyond64) {
  std::map<int, std::vector<PartitionEntry>> entries;
  entries[0].resize(3);
  entries[5].resize(100);
  NumberEntries(&entries);
  EXPECT_EQ(entries[0][0].number, 1u);
  EXPECT_EQ(entries[0][2].number, 3u);
  EXPECT_EQ(entries[5][0].number, 4u);
  // 42 is the code of '*' and 65 that of 'A': numbers are kept apart from letters.
  EXPECT_EQ(entries[5][38].number, 42u);
  EXPECT_EQ(entries[5][99].number, 103u);
}

TEST(FileSystemNames, BlkidTypesMapToShownNamesAndTypeBytes) {
  EXPECT_EQ(FileSystemDisplayName("ntfs", ""), "NTFS");
  EXPECT_EQ(FileSystemDisplayName("vfat", "FAT32"), "FAT32");
  EXPECT_EQ(FileSystemDisplayName("vfat", "FAT16"), "FAT16");
  EXPECT_EQ(FileSystemDisplayName("vfat", ""), "FAT");
  EXPECT_EQ(FileSystemDisplayName("exfat", "1.0"), "exFAT");
  EXPECT_EQ(FileSystemDisplayName("ext4", "1.0"), "ext4");
  EXPECT_EQ(PartitionTypeForFileSystem("NTFS"), 7);
  EXPECT_EQ(PartitionTypeForFileSystem("fat32"), 11);
  EXPECT_EQ(PartitionTypeForFileSystem("FAT12"), 6);
  EXPECT_EQ(PartitionTypeForFileSystem("ext4"), 0);
}

TEST(DiskBus, UsbAndSdDisksCountAsRemovable) {
  const std::string usb =
      "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
  EXPECT_EQ(BusOfDevicePath(usb), "usb");
  EXPECT_EQ(
      BusOfDevicePath("/sys/devices/platform/fe320000.mmc/mmc_host/mmc1/mmc1:0001/block/mmcblk1"),
      "sd");
  EXPECT_EQ(BusOfDevicePath("/sys/devices/virtual/block/loop0"), "virtual");
  EXPECT_EQ(BusOfDevicePath("/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1"),
            "nvme");
  EXPECT_TRUE(IsRemovableBus("usb"));
  EXPECT_TRUE(IsRemovableBus("sd"));
  EXPECT_FALSE(IsRemovableBus("nvme"));
}

TEST(MountInfo, ParsesFieldsAndUndoesEscapes) {
  const std::string text =
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "99 27 259:3 / /media/My\\040Stick rw,nosuid shared:7 master:2 - vfat /dev/sdb1 rw\n"
      "garbage line\n";
  const auto mounts = platform::ParseMountInfo(text);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].device_id, "254:0");
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[1].mount_point, "/media/My Stick");
  EXPECT_EQ(mounts[1].fs_type, "vfat");
  EXPECT_EQ(mounts[1].source, "/dev/sdb1");
}

TEST(DeviceSnapshots, ChangesBecomeRemovalsAndArrivals) {
  const std::map<std::string, std::string> before = {{"sda", "8:0 100"}, {"loop0", "7:0 50 a.img"}};
  const std::map<std::string, std::string> after = {
      {"sda", "8:0 100"}, {"loop0", "7:0 80 b.img"}, {"sdb", "8:16 10"}};
  const auto changes = DiffDeviceSnapshots(before, after);
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].kind, DeviceChange::Kind::kRemoval);
  EXPECT_EQ(changes[0].device, "loop0");
  EXPECT_EQ(changes[1].kind, DeviceChange::Kind::kArrival);
  EXPECT_EQ(changes[1].device, "loop0");
  EXPECT_EQ(changes[2].device, "sdb");
  EXPECT_TRUE(DiffDeviceSnapshots(after, after).empty());
}

}  // namespace
}  // namespace velmora
