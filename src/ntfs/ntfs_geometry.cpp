#include "ntfs/ntfs_geometry.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "storage/byte_view.h"

namespace velmora::ntfs {

namespace {

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

uint32_t DecodeBootSizeField(int8_t field, uint32_t unit_bytes) {
  if (field > 0) return static_cast<uint32_t>(field) * unit_bytes;
  if (field < 0 && field >= -31) return 1u << (-field);
  return 0;
}

bool ParseNtfsBootSector(const uint8_t* sector, size_t length, NtfsGeometry* out) {
  const ByteView s({sector, length});
  if (length < 512 || !s.Matches(3, "NTFS    ")) return false;
  NtfsGeometry g;
  const uint16_t bps = s.Le16(0x0B).value_or(0);
  g.bytes_per_sector = bps == 0 ? 512 : bps;
  if (!IsPowerOfTwo(g.bytes_per_sector) || g.bytes_per_sector < 256 || g.bytes_per_sector > 4096) {
    return false;
  }
  // Values above 0x80 encode large clusters as a negative power of two.
  const auto spc_field = static_cast<int8_t>(sector[0x0D]);
  if (spc_field > 0) {
    g.sectors_per_cluster = static_cast<uint32_t>(spc_field);
  } else if (spc_field < 0 && spc_field >= -12) {
    g.sectors_per_cluster = 1u << (-spc_field);
  } else {
    return false;
  }
  if (!IsPowerOfTwo(g.sectors_per_cluster)) return false;
  g.cluster_size = g.sectors_per_cluster * g.bytes_per_sector;
  g.total_sectors = s.Le64(0x28).value_or(0);
  g.mft_first_cluster = s.Le64(0x30).value_or(0);
  g.mft_mirror_cluster = s.Le64(0x38).value_or(0);

  const uint32_t record_size = DecodeBootSizeField(static_cast<int8_t>(sector[0x40]), g.cluster_size);
  if (IsPowerOfTwo(record_size) && record_size >= 512 && record_size <= 65536) {
    g.mft_record_size = record_size;
  } else {
    g.mft_record_size = g.bytes_per_sector == 512 ? 1024 : g.bytes_per_sector;
  }
  const uint32_t index_size = DecodeBootSizeField(static_cast<int8_t>(sector[0x44]), g.cluster_size);
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
  return {{geometry.mft_first_cluster * geometry.cluster_size, kRecords * geometry.mft_record_size}};
}

bool IsBackupBootSectorAt(const NtfsGeometry& geometry, uint64_t offset) {
  const uint64_t unit = geometry.bytes_per_sector;
  if (unit == 0 || geometry.total_sectors > UINT64_MAX / unit) return false;
  const uint64_t counted = geometry.total_sectors * unit;
  return counted <= offset && offset - counted < std::max<uint64_t>(geometry.cluster_size, unit);
}

}  // namespace velmora::ntfs

namespace velmora {

bool IsNtfsBootSector(const uint8_t* sector512) {
  const ByteView s({sector512, 512});
  if (!s.Matches(3, "NTFS    ")) return false;
  if (s.Le16(0x0B).value_or(0) % 512 != 0) return false;
  if (s.Le16(0x0E) != 0) return false;
  const uint8_t sectors_per_cluster = s.U8(0x0D).value_or(0);
  if (sectors_per_cluster == 0 || sectors_per_cluster > 64 ||
      (sectors_per_cluster & (sectors_per_cluster - 1)) != 0) {
    return false;
  }
  if (s.Le64(0x28).value_or(0) == 0) return false;
  for (int offset : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
    if (s.U8(offset) != 0) return false;
  }
  return s.U8(0x1FE) == 0x55 && s.U8(0x1FF) == 0xAA;
}

}  // namespace velmora
