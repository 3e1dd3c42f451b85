#pragma once

// Disk images with a partition table, built from volume images made by the builders.
//
//   FatVolumeBuilder fat(dir + "/fat.img", 16, 32 << 20);  ...  fat.Finish();
//   WriteMbrDisk(dir + "/disk.img", 131072, {{2048, 0, kMbrTypeFat16Lba, dir + "/fat.img"}});
//   WriteGptDisk(dir + "/gpt.img", 131072, {{2048, 0, "data", dir + "/ntfs.img"}});
//
// Sectors are 512 bytes. A partition's sector_count of 0 means "the size of its volume
// image, rounded up to whole sectors". Overlapping or out-of-disk partitions throw
// std::invalid_argument; I/O failures throw std::runtime_error.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::testing {

inline constexpr uint8_t kMbrTypeFat12 = 0x01;
inline constexpr uint8_t kMbrTypeFat16Lba = 0x0E;
inline constexpr uint8_t kMbrTypeFat32Lba = 0x0C;
inline constexpr uint8_t kMbrTypeNtfs = 0x07;

struct MbrPartition {
  uint64_t start_sector = 2048;
  uint64_t sector_count = 0;
  uint8_t type = kMbrTypeNtfs;
  std::string volume_image;  // copied to start_sector; "" leaves the partition zeroed
  bool bootable = false;
};

struct GptPartition {
  uint64_t start_sector = 2048;
  uint64_t sector_count = 0;
  std::string name;          // partition name (UTF-8, up to 36 UTF-16 units)
  std::string volume_image;  // copied to start_sector; "" leaves the partition zeroed
};

// Creates (or replaces) `disk_path` with `disk_sectors` sectors and an MBR of up to four
// primary partitions.
void WriteMbrDisk(const std::string& disk_path, uint64_t disk_sectors,
                  const std::vector<MbrPartition>& partitions);

// Creates (or replaces) `disk_path` with a protective MBR, a GPT header and 128 entries at
// the start and their backup at the end. Partitions get the basic-data type; the disk and
// partition GUIDs are fixed so images are reproducible.
void WriteGptDisk(const std::string& disk_path, uint64_t disk_sectors,
                  const std::vector<GptPartition>& partitions);

}  // namespace velmora::testing
