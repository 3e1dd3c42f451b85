#include "ntfs/cluster_bitmap.h"

#include <algorithm>

namespace velmora::ntfs {

void ClusterBitmap::Assign(std::vector<uint8_t> bits, uint64_t valid_bytes) {
  bits_ = std::move(bits);
  if (valid_bytes < bits_.size()) bits_.resize(valid_bytes);
}

bool ClusterBitmap::IsAllocated(uint64_t cluster) const {
  if (cluster >= ClusterCount()) return false;
  return (bits_[cluster / 8] >> (cluster % 8)) & 1u;
}

uint64_t ClusterBitmap::FindFrom(uint64_t from, bool allocated) const {
  const uint64_t total = ClusterCount();
  uint64_t c = from;
  // Bit by bit up to a byte boundary, then whole bytes that cannot match.
  while (c < total && c % 8 != 0) {
    if (IsAllocated(c) == allocated) return c;
    ++c;
  }
  const uint8_t skip = allocated ? 0x00 : 0xFF;
  while (c < total && bits_[c / 8] == skip) c += 8;
  while (c < total) {
    if (IsAllocated(c) == allocated) return c;
    ++c;
  }
  return total;
}

void ClusterBitmap::NextFreeRange(uint64_t sectors_per_cluster, uint64_t sector_count,
                                  uint64_t* position, uint64_t* length) const {
  *length = 0;
  if (sectors_per_cluster == 0 || *position >= sector_count) {
    *position = sector_count;
    return;
  }
  const uint64_t cluster = *position / sectors_per_cluster;
  const uint64_t free_cluster = FindFrom(cluster, false);
  if (free_cluster >= ClusterCount()) {
    *position = sector_count;
    return;
  }
  *position += (free_cluster - cluster) * sectors_per_cluster;
  if (*position >= sector_count) {
    *position = sector_count;
    return;
  }
  const uint64_t end = FindFrom(free_cluster, true);
  *length = (end - free_cluster) * sectors_per_cluster;
  if (*length > sector_count - *position) *length = sector_count - *position;
}

}  // namespace velmora::ntfs
