#include "ntfs/ntfs_geometry.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace velmora::ntfs {

uint32_t DecodeBootSizeField(int8_t field, uint32_t unit_bytes) {
  if (field > 0) return static_cast<uint32_t>(field) * unit_bytes;
  if (field < 0 && field >= -31) return 1u << (-field);
  return 0;
}

bool IsReadableNtfsBoot(const BootRecord& boot) {
  // 0 stands for 512; 256-byte sectors exist on some media and read like any other.
  const uint32_t sector = boot.bytes_per_sector == 0 ? 512 : boot.bytes_per_sector;
  return boot.OemIs("NTFS    ") && IsPowerOfTwo(sector) && sector >= 256 && sector <= 4096 &&
         IsPowerOfTwo(boot.ClusterSectors());
}

bool ParseNtfsBootSector(const uint8_t* sector, size_t length, NtfsGeometry* out) {
  const std::optional<BootRecord> boot = DecodeBootRecord({sector, length});
  if (!boot || !IsReadableNtfsBoot(*boot)) return false;
  NtfsGeometry g;
  g.bytes_per_sector = boot->bytes_per_sector == 0 ? 512 : boot->bytes_per_sector;
  g.sectors_per_cluster = boot->ClusterSectors();
  g.cluster_size = g.sectors_per_cluster * g.bytes_per_sector;
  g.total_sectors = boot->ntfs_total_sectors;
  g.mft_first_cluster = boot->mft_cluster;
  g.mft_mirror_cluster = boot->mft_mirror_cluster;

  const uint32_t record_size = DecodeBootSizeField(boot->mft_record_size, g.cluster_size);
  if (IsPowerOfTwo(record_size) && record_size >= 512 && record_size <= 65536) {
    g.mft_record_size = record_size;
  } else {
    g.mft_record_size = g.bytes_per_sector == 512 ? 1024 : g.bytes_per_sector;
  }
  const uint32_t index_size = DecodeBootSizeField(boot->index_record_size, g.cluster_size);
  if (IsPowerOfTwo(index_size) && index_size >= 512 && index_size <= 65536) {
    g.index_record_size = index_size;
  }
  if (g.total_sectors != 0) {
    const uint64_t clusters = g.total_sectors / g.sectors_per_cluster;
    if (g.mft_first_cluster >= clusters) return false;
  }
  *out = g;
  return true;
}

std::vector<FingerprintRange> NtfsFingerprintRanges(const NtfsGeometry& geometry) {
  constexpr uint32_t kRecords = 256;
  return {
      {geometry.mft_first_cluster * geometry.cluster_size, kRecords * geometry.mft_record_size}};
}

bool IsBackupBootSectorAt(const NtfsGeometry& geometry, uint64_t offset) {
  const uint64_t unit = geometry.bytes_per_sector;
  if (unit == 0 || geometry.total_sectors > UINT64_MAX / unit) return false;
  const uint64_t counted = geometry.total_sectors * unit;
  return counted <= offset && offset - counted < std::max<uint64_t>(geometry.cluster_size, unit);
}

}  // namespace velmora::ntfs

namespace velmora {

bool IsNtfsSelectionBoot(const BootRecord& boot) {
  // Stricter than the reader: a region is only called NTFS when every FAT field is
  // empty, so a FAT sector carrying the name is never taken for NTFS.
  const bool fat_fields_empty = boot.fat_count == 0 && boot.root_entry_count == 0 &&
                                boot.total_sectors16 == 0 && boot.fat_size16 == 0 &&
                                boot.total_sectors32 == 0;
  return boot.OemIs("NTFS    ") && boot.bytes_per_sector % 512 == 0 && boot.reserved_sectors == 0 &&
         IsPowerOfTwo(boot.ClusterSectors()) && boot.ntfs_total_sectors != 0 && fat_fields_empty &&
         boot.boot_signature;
}

bool IsNtfsBootSector(const uint8_t* sector512) {
  const std::optional<BootRecord> boot = DecodeBootRecord({sector512, BootRecord::kBytes});
  return boot && IsNtfsSelectionBoot(*boot);
}

}  // namespace velmora
