#pragma once

#include <cstdint>
#include <string>

namespace velmora {

enum class RegionKind { kVolume, kUnallocated, kWholeDisk };

// One scannable region of a disk: a volume (partition, or a file system on the
// whole disk), an unallocated gap, or a whole disk that holds nothing recognised.
// Copied by value.
struct PartitionEntry {
  // Linux has no drive letters: every entry gets its 1-based position in the whole
  // list. Kept apart from any letter so that entry 42 is never mistaken for the
  // unnumbered placeholder and entry 65 never for the letter 'A'. 0 = not numbered yet.
  uint32_t number = 0;
  // MBR partition type byte, overridden from the file system: NTFS 7, FAT32 11, other FAT 6.
  uint8_t type = 0;
  int32_t disk = -1;       // physical drive number
  int32_t partition = -1;  // partition number on that disk, -1 when none
  uint64_t total = 0;      // bytes
  uint64_t used = 0;
  uint64_t free = 0;
  uint64_t start = 0;            // first sector on the disk, in the disk's sector size
  uint64_t length = 0;           // sectors
  std::string file_system_name;  // "NTFS", "FAT32", "ext4", ... empty when unknown
  std::string volume_path;       // device node of the volume ("/dev/sdb1"); empty for gaps
  std::string volume_label;

  RegionKind kind = RegionKind::kVolume;
  // Device node of the whole disk ("/dev/sdb"). Disk numbers shift when a disk before
  // this one leaves; the node does not, so changes are matched on it.
  std::string disk_path;
  uint32_t sector_size = 512;
  std::string mount_point;  // where the volume is mounted, empty when it is not
  bool removable = false;   // the disk is removable (flag, USB or SD bus)
};

const char* RegionKindName(RegionKind kind);

}  // namespace velmora
