#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/source_fingerprint.h"
#include "storage/boot_record.h"

namespace velmora {

enum class FatType { kFat12, kFat16, kFat32 };

// Layout of a FAT volume as read from its boot sector. Sector numbers are
// relative to the volume start and counted in the volume's own sector size.
struct FatGeometry {
  FatType type = FatType::kFat16;
  uint32_t bytes_per_sector = 512;
  uint32_t sectors_per_cluster = 1;
  uint32_t reserved_sectors = 0;
  uint32_t fat_count = 0;
  uint32_t sectors_per_fat = 0;
  uint32_t root_entry_count = 0;
  uint32_t root_directory_sectors = 0;  // the fixed root region of FAT12/16
  uint64_t total_sectors = 0;           // 32-bit field, or the 16-bit one when that is 0
  uint64_t first_data_sector = 0;
  uint32_t root_cluster = 0;   // 0 on FAT12/16: the fixed root region
  uint32_t cluster_count = 0;  // data clusters, numbered 2 .. cluster_count + 1

  uint32_t ClusterBytes() const { return sectors_per_cluster * bytes_per_sector; }
  uint64_t FatStartSector() const { return reserved_sectors; }
  uint64_t RootRegionStart() const { return first_data_sector - root_directory_sectors; }
  bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster - 2 < cluster_count; }
  // First sector of a data cluster; cluster 0 names the FAT12/16 root region.
  // False for any other number outside the data area.
  bool ClusterToSector(uint32_t cluster, uint64_t* sector) const;
};

constexpr uint32_t kMaxFat12Clusters = 4084;
constexpr uint32_t kMaxFat16Clusters = 65524;

// What the FAT engines need to read a volume: a power-of-two sector of 512 to 4096
// bytes, a power-of-two cluster of at most 128 sectors, reserved sectors, a FAT and a
// sector count.
bool IsReadableFatBoot(const BootRecord& boot);

// Parses and checks a boot sector (at least 512 bytes). The FAT width is
// decided by the cluster count, with the "FAT32   " type text also naming FAT32.
// False when the fields cannot describe a volume.
bool ParseFatBootSector(const uint8_t* sector, size_t size, FatGeometry* out);

const char* FatTypeName(FatType type);

// The volume label of the boot sector's extended block, trailing blanks dropped and
// anything unprintable shown as '?'.
std::string FatBootLabel(const uint8_t* sector512, FatType type);

// The engine selection's test of the BPB: a sector size that is a multiple of 512,
// fewer than 0x0FFFFFF0 clusters (counted in wrapping 32-bit arithmetic, so fields
// that do not add up are refused), and either the 12/16-bit fields or the "FAT32   "
// text with the 32-bit ones, and the 0x55 0xAA mark.
bool IsFatSelectionBoot(const BootRecord& boot);

// The engine selection's tests of a region's first sector (512 bytes). A BitLocker
// volume keeps a FAT-like boot sector and is never FAT.
bool IsFatBootSector(const uint8_t* sector512);
bool IsBitLockerBootSector(const uint8_t* sector512);
// What identifies the volume's contents beside its boot area: the start of the
// first FAT and the root directory.
std::vector<FingerprintRange> FatFingerprintRanges(const FatGeometry& geometry);

}  // namespace velmora
