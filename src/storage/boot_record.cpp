#include "storage/boot_record.h"

#include <cstring>

#include "storage/byte_view.h"

namespace velmora {

uint32_t BootRecord::ClusterSectors() const {
  if (sectors_per_cluster <= 0x80) return sectors_per_cluster;
  // 0xF4 is the largest cluster the format allows (2 MiB on 512-byte sectors).
  const unsigned shift = 256u - sectors_per_cluster;
  return shift <= 12 ? 1u << shift : 0;
}

std::optional<BootRecord> DecodeBootRecord(std::span<const uint8_t> sector) {
  if (sector.size() < BootRecord::kBytes) return std::nullopt;
  const uint8_t* s = sector.data();
  BootRecord r;
  r.jump = s[0x00];
  std::memcpy(r.oem, s + 0x03, sizeof r.oem);
  r.bytes_per_sector = LoadLe<uint16_t>(s + 0x0B);
  r.sectors_per_cluster = s[0x0D];
  r.reserved_sectors = LoadLe<uint16_t>(s + 0x0E);
  r.fat_count = s[0x10];
  r.root_entry_count = LoadLe<uint16_t>(s + 0x11);
  r.total_sectors16 = LoadLe<uint16_t>(s + 0x13);
  r.fat_size16 = LoadLe<uint16_t>(s + 0x16);
  r.total_sectors32 = LoadLe<uint32_t>(s + 0x20);
  r.fat_size32 = LoadLe<uint32_t>(s + 0x24);
  r.root_cluster = LoadLe<uint32_t>(s + 0x2C);
  std::memcpy(r.fat16_type, s + 0x36, sizeof r.fat16_type);
  std::memcpy(r.fat32_type, s + 0x52, sizeof r.fat32_type);
  r.ntfs_total_sectors = LoadLe<uint64_t>(s + 0x28);
  r.mft_cluster = LoadLe<uint64_t>(s + 0x30);
  r.mft_mirror_cluster = LoadLe<uint64_t>(s + 0x38);
  r.mft_record_size = static_cast<int8_t>(s[0x40]);
  r.index_record_size = static_cast<int8_t>(s[0x44]);
  r.boot_signature = s[0x1FE] == 0x55 && s[0x1FF] == 0xAA;
  return r;
}

}  // namespace velmora
