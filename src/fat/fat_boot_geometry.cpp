#include "fat/fat_boot_geometry.h"

#include <algorithm>
#include <cstring>

#include "storage/byte_view.h"

namespace velmora {

namespace {

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool HasBootSignature(const ByteView& s) { return s.U8(0x1FE) == 0x55 && s.U8(0x1FF) == 0xAA; }

// Entries the FAT itself has room for, counting the two reserved ones.
uint64_t FatCapacity(const FatGeometry& g) {
  const uint64_t fat_bytes = static_cast<uint64_t>(g.sectors_per_fat) * g.bytes_per_sector;
  switch (g.type) {
    case FatType::kFat12:
      return fat_bytes * 2 / 3;
    case FatType::kFat16:
      return fat_bytes / 2;
    case FatType::kFat32:
      return fat_bytes / 4;
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

bool ParseFatBootSector(const uint8_t* s, size_t size, FatGeometry* out) {
  if (size < 512) return false;
  const ByteView b({s, size});
  FatGeometry g;
  g.bytes_per_sector = b.Le16(11).value_or(0);
  g.sectors_per_cluster = s[13];
  g.reserved_sectors = b.Le16(14).value_or(0);
  g.fat_count = s[16];
  g.root_entry_count = b.Le16(17).value_or(0);
  const uint32_t total16 = b.Le16(19).value_or(0);
  const uint32_t fat16_size = b.Le16(22).value_or(0);
  const uint32_t total32 = b.Le32(32).value_or(0);
  g.total_sectors = total32 != 0 ? total32 : total16;

  if (g.bytes_per_sector < 512 || g.bytes_per_sector > 4096 || !IsPowerOfTwo(g.bytes_per_sector))
    return false;
  if (!IsPowerOfTwo(g.sectors_per_cluster) || g.sectors_per_cluster > 128) return false;
  if (g.reserved_sectors == 0 || g.fat_count == 0 || g.total_sectors == 0) return false;

  const bool fat32_text = std::memcmp(s + 82, "FAT32   ", 8) == 0;
  const bool fat32 = fat32_text || fat16_size == 0;
  g.sectors_per_fat = fat32 ? b.Le32(36).value_or(0) : fat16_size;
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
    g.root_cluster = b.Le32(44).value_or(0) & 0x0FFFFFFF;
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
    case FatType::kFat12:
      return "FAT12";
    case FatType::kFat16:
      return "FAT16";
    case FatType::kFat32:
      return "FAT32";
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

bool IsFatBootSector(const uint8_t* sector512) {
  if (IsBitLockerBootSector(sector512)) return false;
  const ByteView s({sector512, 512});
  const uint16_t fat16_size = s.Le16(0x16).value_or(0);
  const uint32_t fat_size = fat16_size != 0 ? fat16_size : s.Le32(0x24).value_or(0);
  const uint16_t total16 = s.Le16(0x13).value_or(0);
  const uint32_t total32 = s.Le32(0x20).value_or(0);
  const uint32_t total = total32 != 0 ? total32 : total16;
  const uint16_t bytes_per_sector = s.Le16(0x0B).value_or(0);
  const uint8_t sectors_per_cluster = s.U8(0x0D).value_or(0);
  if (bytes_per_sector == 0 || bytes_per_sector % 512 != 0 || sectors_per_cluster == 0) return false;
  const uint32_t root_sectors =
      (static_cast<uint32_t>(s.Le16(0x11).value_or(0)) * 32) / bytes_per_sector;
  const uint8_t fat_count = s.U8(0x10).value_or(0);
  // Unsigned 32-bit on purpose: a negative difference wraps and is refused below.
  const uint32_t clusters =
      (total - root_sectors - fat_count * fat_size - s.Le16(0x0E).value_or(0)) /
      sectors_per_cluster;
  if (clusters >= 0x0FFFFFF0u) return false;
  const bool cluster_size_ok = IsPowerOfTwo(sectors_per_cluster) && sectors_per_cluster <= 128;
  const bool small_fat = fat_count != 0 && (total16 != 0 || total32 != 0) && cluster_size_ok &&
                         fat16_size >= 1 && HasBootSignature(s);
  const bool fat32 = s.Matches(0x52, "FAT32   ") && fat_count != 0 && total32 != 0 &&
                     cluster_size_ok && s.Le32(0x24) != 0u && HasBootSignature(s);
  return small_fat || fat32;
}

std::vector<FingerprintRange> FatFingerprintRanges(const FatGeometry& geometry) {
  constexpr uint64_t kMaxBytes = 65536;
  const uint64_t sector = geometry.bytes_per_sector;
  std::vector<FingerprintRange> ranges;
  ranges.push_back({geometry.FatStartSector() * sector,
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
