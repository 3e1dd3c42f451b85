#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velmora {

// The first sector of a FAT or NTFS volume, every field read once. Which of these
// fields a reader trusts is its own rule, written as a named predicate beside it
// (fat/fat_boot_geometry, ntfs/ntfs_geometry, the partition-table probe); they all
// start from this one decoding so that they disagree only where they mean to.
struct BootRecord {
  static constexpr size_t kBytes = 512;

  uint8_t jump = 0;                 // 0x00: EB or E9 on a bootable sector
  char oem[8] = {};                 // 0x03: "NTFS    ", "MSDOS5.0", "-FVE-FS-", ...
  uint16_t bytes_per_sector = 0;    // 0x0B
  uint8_t sectors_per_cluster = 0;  // 0x0D: the raw byte; see ClusterSectors()
  uint16_t reserved_sectors = 0;    // 0x0E
  uint8_t fat_count = 0;            // 0x10
  uint16_t root_entry_count = 0;    // 0x11
  uint16_t total_sectors16 = 0;     // 0x13
  uint16_t fat_size16 = 0;          // 0x16
  uint32_t total_sectors32 = 0;     // 0x20
  // FAT32's extended block.
  uint32_t fat_size32 = 0;    // 0x24
  uint32_t root_cluster = 0;  // 0x2C
  char fat16_type[8] = {};    // 0x36: "FAT12   " / "FAT16   " on FAT12/16
  char fat32_type[8] = {};    // 0x52: "FAT32   " on FAT32
  // NTFS's extended block.
  uint64_t ntfs_total_sectors = 0;  // 0x28
  uint64_t mft_cluster = 0;         // 0x30
  uint64_t mft_mirror_cluster = 0;  // 0x38
  int8_t mft_record_size = 0;       // 0x40: clusters, or 2^-n bytes when negative
  int8_t index_record_size = 0;     // 0x44: the same encoding
  bool boot_signature = false;      // 55 AA at 0x1FE

  bool OemIs(std::string_view text) const { return std::string_view(oem, sizeof oem) == text; }
  bool Fat16TypeStartsWith(std::string_view text) const {
    return std::string_view(fat16_type, sizeof fat16_type).starts_with(text);
  }
  bool Fat32TypeStartsWith(std::string_view text) const {
    return std::string_view(fat32_type, sizeof fat32_type).starts_with(text);
  }
  // The FAT size and total-sector count, each from its 16-bit field unless that is 0.
  uint32_t FatSize() const { return fat_size16 != 0 ? fat_size16 : fat_size32; }
  uint32_t TotalSectors() const { return total_sectors32 != 0 ? total_sectors32 : total_sectors16; }
  // Sectors per cluster as NTFS encodes them: up to 0x80 a plain count (0x80 is the
  // 64 KiB cluster on 512-byte sectors), above it 2^(256 - value) for the larger
  // clusters. 0 when the byte names no cluster (0, or a shift beyond 2 MiB clusters).
  uint32_t ClusterSectors() const;
};

// Decodes the first 512 bytes; nothing when fewer are given.
std::optional<BootRecord> DecodeBootRecord(std::span<const uint8_t> sector);

inline bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace velmora
