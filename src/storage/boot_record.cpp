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
  // Every field lies inside the 512 bytes checked above.
  const ByteView s = ByteView(sector).Sub(0, BootRecord::kBytes);
  BootRecord r;
  r.jump = s.U8(0x00).value_or(0);
  std::memcpy(r.oem, s.data() + 0x03, sizeof r.oem);
  r.bytes_per_sector = s.Le16(0x0B).value_or(0);
  r.sectors_per_cluster = s.U8(0x0D).value_or(0);
  r.reserved_sectors = s.Le16(0x0E).value_or(0);
  r.fat_count = s.U8(0x10).value_or(0);
  r.root_entry_count = s.Le16(0x11).value_or(0);
  r.total_sectors16 = s.Le16(0x13).value_or(0);
  r.fat_size16 = s.Le16(0x16).value_or(0);
  r.total_sectors32 = s.Le32(0x20).value_or(0);
  r.fat_size32 = s.Le32(0x24).value_or(0);
  r.root_cluster = s.Le32(0x2C).value_or(0);
  std::memcpy(r.fat16_type, s.data() + 0x36, sizeof r.fat16_type);
  std::memcpy(r.fat32_type, s.data() + 0x52, sizeof r.fat32_type);
  r.ntfs_total_sectors = s.Le64(0x28).value_or(0);
  r.mft_cluster = s.Le64(0x30).value_or(0);
  r.mft_mirror_cluster = s.Le64(0x38).value_or(0);
  r.mft_record_size = static_cast<int8_t>(s.U8(0x40).value_or(0));
  r.index_record_size = static_cast<int8_t>(s.U8(0x44).value_or(0));
  r.boot_signature = s.U8(0x1FE) == 0x55 && s.U8(0x1FF) == 0xAA;
  return r;
}

}  // namespace velmora
