#include "fat/fat_boot_geometry.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "storage/byte_view.h"

namespace velmora {

namespace {

// Entries the FAT itself has room for, counting the two reserved ones.
uint64_t FatCapacity(const FatGeometry& g) {
  const uint64_t fat_bytes = static_cast<uint64_t>(g.sectors_per_fat) * g.bytes_per_sector;
  switch (g.type) {
    case FatType::kFat12: return fat_bytes * 2 / 3;
    case FatType::kFat16: return fat_bytes / 2;
    case FatType::kFat32: return fat_bytes / 4;
  }
  return 0;
}

}  // namespace

bool FatGeometry::ClusterToSector(uint32_t cluster, uint64_t* sector) const {
  if (cluster == 0 && type != FatType::kFat32) {
    *sector = RootRegionStart();
    return true;
  }
  if (!IsDataCluster(cluster)) return false;
  *sector = first_data_sector + static_cast<uint64_t>(cluster - 2) * sectors_per_cluster;
  return true;
}

bool IsReadableFatBoot(const BootRecord& boot) {
  return boot.bytes_per_sector >= 512 && boot.bytes_per_sector <= 4096 &&
         IsPowerOfTwo(boot.bytes_per_sector) && IsPowerOfTwo(boot.sectors_per_cluster) &&
         boot.sectors_per_cluster <= 128 && boot.reserved_sectors != 0 && boot.fat_count != 0 &&
         boot.TotalSectors() != 0;
}

bool ParseFatBootSector(const uint8_t* s, size_t size, FatGeometry* out) {
  const std::optional<BootRecord> boot = DecodeBootRecord({s, size});
  if (!boot || !IsReadableFatBoot(*boot)) return false;
  FatGeometry g;
  g.bytes_per_sector = boot->bytes_per_sector;
  g.sectors_per_cluster = boot->sectors_per_cluster;
  g.reserved_sectors = boot->reserved_sectors;
  g.fat_count = boot->fat_count;
  g.root_entry_count = boot->root_entry_count;
  g.total_sectors = boot->TotalSectors();

  const bool fat32 = boot->Fat32TypeStartsWith("FAT32   ") || boot->fat_size16 == 0;
  g.sectors_per_fat = fat32 ? boot->fat_size32 : boot->fat_size16;
  if (g.sectors_per_fat == 0) return false;

  if (fat32) {
    g.root_entry_count = 0;
    g.root_directory_sectors = 0;
  } else {
    g.root_directory_sectors =
        (g.root_entry_count * 32 + g.bytes_per_sector - 1) / g.bytes_per_sector;
    if (g.root_directory_sectors == 0) return false;
  }
  g.first_data_sector = static_cast<uint64_t>(g.reserved_sectors) +
                        static_cast<uint64_t>(g.fat_count) * g.sectors_per_fat +
                        g.root_directory_sectors;
  if (g.first_data_sector >= g.total_sectors) return false;
  const uint64_t clusters = (g.total_sectors - g.first_data_sector) / g.sectors_per_cluster;
  if (clusters == 0) return false;

  if (fat32) {
    g.type = FatType::kFat32;
    g.root_cluster = boot->root_cluster & 0x0FFFFFFF;
  } else {
    g.type = clusters <= kMaxFat12Clusters ? FatType::kFat12 : FatType::kFat16;
    g.root_cluster = 0;
  }
  // A FAT shorter than the data area leaves the tail clusters unaddressable.
  const uint64_t capacity = FatCapacity(g);
  if (capacity <= 2) return false;
  uint64_t usable = clusters < capacity - 2 ? clusters : capacity - 2;
  if (g.type == FatType::kFat32 && usable > 0x0FFFFFF5) usable = 0x0FFFFFF5;
  g.cluster_count = static_cast<uint32_t>(usable);
  if (g.type == FatType::kFat32 && !g.IsDataCluster(g.root_cluster)) return false;
  *out = g;
  return true;
}

const char* FatTypeName(FatType type) {
  switch (type) {
    case FatType::kFat12: return "FAT12";
    case FatType::kFat16: return "FAT16";
    case FatType::kFat32: return "FAT32";
  }
  return "FAT";
}

std::string FatBootLabel(const uint8_t* sector512, FatType type) {
  const ByteView s({sector512, 512});
  const size_t at = type == FatType::kFat32 ? 0x47 : 0x2B;
  std::string text(reinterpret_cast<const char*>(s.data() + at), 11);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return text;
}

bool IsBitLockerBootSector(const uint8_t* sector512) {
  const ByteView s({sector512, 512});
  if (s.Matches(3, "-FVE-FS-")) return true;
  for (size_t i = 0; i < 8; ++i) {
    if (s.U8(0x1E0 + i) != 0x78) return false;
  }
  for (size_t i = 8; i < 27; ++i) {
    if (s.U8(0x1E0 + i) != 0xFF) return false;
  }
  return s.U8(0x1E0 + 27) == 0x00 && s.U8(0x1E0 + 28) == 0x1F && s.U8(0x1E0 + 29) == 0x2C;
}

bool IsFatSelectionBoot(const BootRecord& boot) {
  const uint32_t fat_size = boot.FatSize();
  const uint32_t total = boot.TotalSectors();
  const uint16_t bytes_per_sector = boot.bytes_per_sector;
  const uint8_t sectors_per_cluster = boot.sectors_per_cluster;
  if (bytes_per_sector == 0 || bytes_per_sector % 512 != 0 || sectors_per_cluster == 0)
    return false;
  const uint32_t root_sectors =
      (static_cast<uint32_t>(boot.root_entry_count) * 32) / bytes_per_sector;
  const uint8_t fat_count = boot.fat_count;
  // Unsigned 32-bit on purpose: a negative difference wraps and is refused below.
  const uint32_t clusters =
      (total - root_sectors - fat_count * fat_size - boot.reserved_sectors) / sectors_per_cluster;
  if (clusters >= 0x0FFFFFF0u) return false;
  const bool cluster_size_ok = IsPowerOfTwo(sectors_per_cluster) && sectors_per_cluster <= 128;
  const bool small_fat = fat_count != 0 &&
                         (boot.total_sectors16 != 0 || boot.total_sectors32 != 0) &&
                         cluster_size_ok && boot.fat_size16 >= 1 && boot.boot_signature;
  const bool fat32 = boot.Fat32TypeStartsWith("FAT32   ") && fat_count != 0 &&
                     boot.total_sectors32 != 0 && cluster_size_ok && boot.fat_size32 != 0 &&
                     boot.boot_signature;
  return small_fat || fat32;
}

bool IsFatBootSector(const uint8_t* sector512) {
  if (IsBitLockerBootSector(sector512)) return false;
  const std::optional<BootRecord> boot = DecodeBootRecord({sector512, BootRecord::kBytes});
  return boot && IsFatSelectionBoot(*boot);
}

std::vector<FingerprintRange> FatFingerprintRanges(const FatGeometry& geometry) {
  constexpr uint64_t kMaxBytes = 65536;
  const uint64_t sector = geometry.bytes_per_sector;
  std::vector<FingerprintRange> ranges;
  ranges.push_back(
      {geometry.FatStartSector() * sector,
       static_cast<uint32_t>(std::min<uint64_t>(kMaxBytes, geometry.sectors_per_fat * sector))});
  uint64_t root = 0;
  if (geometry.ClusterToSector(geometry.root_cluster, &root)) {
    const uint64_t bytes = geometry.root_cluster == 0 ? geometry.root_directory_sectors * sector
                                                      : geometry.ClusterBytes();
    ranges.push_back({root * sector, static_cast<uint32_t>(std::min(kMaxBytes, bytes))});
  }
  return ranges;
}

}  // namespace velmora
