#include "deep/boot_sector_tests.h"

#include <cstring>
#include <initializer_list>

namespace velmora {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

bool HasBootSignature(const uint8_t* s) { return s[0x1FE] == 0x55 && s[0x1FF] == 0xAA; }

bool IsPowerOfTwoUpTo(uint8_t value, uint8_t max) {
  return value != 0 && value <= max && (value & (value - 1)) == 0;
}

}  // namespace

bool IsNtfsBootSector(const uint8_t* s) {
  if (std::memcmp(s + 3, "NTFS    ", 8) != 0) return false;
  if (Le16(s + 0x0B) % 512 != 0) return false;
  if (Le16(s + 0x0E) != 0) return false;
  if (!IsPowerOfTwoUpTo(s[0x0D], 64)) return false;
  if (Le64(s + 0x28) == 0) return false;
  for (int offset : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
    if (s[offset] != 0) return false;
  }
  return HasBootSignature(s);
}

bool IsBitLockerBootSector(const uint8_t* s) {
  if (std::memcmp(s + 3, "-FVE-FS-", 8) == 0) return true;
  const uint8_t* tail = s + 0x1E0;
  for (int i = 0; i < 8; ++i) {
    if (tail[i] != 0x78) return false;
  }
  for (int i = 8; i < 27; ++i) {
    if (tail[i] != 0xFF) return false;
  }
  return tail[27] == 0x00 && tail[28] == 0x1F && tail[29] == 0x2C;
}

bool IsFatBootSector(const uint8_t* s) {
  if (IsBitLockerBootSector(s)) return false;
  const uint16_t fat16_size = Le16(s + 0x16);
  const uint32_t fat_size = fat16_size != 0 ? fat16_size : Le32(s + 0x24);
  const uint16_t total16 = Le16(s + 0x13);
  const uint32_t total32 = Le32(s + 0x20);
  const uint32_t total = total32 != 0 ? total32 : total16;
  const uint16_t bytes_per_sector = Le16(s + 0x0B);
  const uint8_t sectors_per_cluster = s[0x0D];
  if (bytes_per_sector == 0 || bytes_per_sector % 512 != 0 || sectors_per_cluster == 0) return false;
  const uint32_t root_sectors = (static_cast<uint32_t>(Le16(s + 0x11)) * 32) / bytes_per_sector;
  const uint8_t fat_count = s[0x10];
  const uint32_t clusters =
      (total - root_sectors - fat_count * fat_size - Le16(s + 0x0E)) / sectors_per_cluster;
  if (clusters >= 0x0FFFFFF0u) return false;
  const bool cluster_size_ok = IsPowerOfTwoUpTo(sectors_per_cluster, 128);
  const bool small_fat = fat_count != 0 && (total16 != 0 || total32 != 0) && cluster_size_ok &&
                         fat16_size >= 1 && HasBootSignature(s);
  const bool fat32 = std::memcmp(s + 0x52, "FAT32   ", 8) == 0 && fat_count != 0 && total32 != 0 &&
                     cluster_size_ok && Le32(s + 0x24) != 0 && HasBootSignature(s);
  return small_fat || fat32;
}

bool IsExtSuperblock(const uint8_t* sb) {
  if (Le16(sb + 0x38) != 0xEF53) return false;
  const uint32_t inodes = Le32(sb + 0x00);
  const uint32_t blocks = Le32(sb + 0x04);
  const uint32_t first_data_block = Le32(sb + 0x14);
  const uint32_t log_block_size = Le32(sb + 0x18);
  const uint32_t blocks_per_group = Le32(sb + 0x20);
  const uint32_t inodes_per_group = Le32(sb + 0x28);
  const uint32_t first_inode = Le32(sb + 0x54);
  if (blocks == 0 || inodes == 0 || blocks_per_group == 0 || inodes_per_group == 0) return false;
  if (first_inode <= 2) return false;
  const uint32_t groups_by_blocks = (blocks - first_data_block - 1) / blocks_per_group + 1;
  const uint32_t groups_by_inodes = (inodes - 1) / inodes_per_group + 1;
  if (groups_by_blocks != groups_by_inodes) return false;
  // A shift of 32 or more cannot be a 1 KiB block size.
  const bool one_k_blocks = log_block_size == 0;
  if (first_data_block != (one_k_blocks ? 1u : 0u)) return false;
  return inodes > first_inode;
}

FileSystemKind ClassifyBootArea(const uint8_t* area) {
  if (IsNtfsBootSector(area)) return FileSystemKind::kNtfs;
  if (IsFatBootSector(area)) return FileSystemKind::kFat;
  if (IsExtSuperblock(area + 1024)) return FileSystemKind::kExt;
  return FileSystemKind::kOther;
}

const char* FileSystemKindName(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::kFat: return "FAT";
    case FileSystemKind::kNtfs: return "NTFS";
    case FileSystemKind::kExt: return "ext";
    case FileSystemKind::kOther: break;
  }
  return "other";
}

}  // namespace velmora
