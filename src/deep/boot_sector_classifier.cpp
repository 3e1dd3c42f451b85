#include "deep/boot_sector_classifier.h"

#include "fat/fat_boot_geometry.h"
#include "ntfs/ntfs_geometry.h"
#include "storage/byte_view.h"

namespace velmora {

bool IsExtSuperblock(const uint8_t* superblock1024) {
  const ByteView sb({superblock1024, 1024});
  if (sb.Le16(0x38) != 0xEF53) return false;
  const uint32_t inodes = sb.Le32(0x00).value_or(0);
  const uint32_t blocks = sb.Le32(0x04).value_or(0);
  const uint32_t first_data_block = sb.Le32(0x14).value_or(0);
  const uint32_t log_block_size = sb.Le32(0x18).value_or(0);
  const uint32_t blocks_per_group = sb.Le32(0x20).value_or(0);
  const uint32_t inodes_per_group = sb.Le32(0x28).value_or(0);
  const uint32_t first_inode = sb.Le32(0x54).value_or(0);
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
