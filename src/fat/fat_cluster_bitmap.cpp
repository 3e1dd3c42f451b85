#include "fat/fat_cluster_bitmap.h"

#include <algorithm>

#include "storage/error_codes.h"

namespace velmora {

int FatClusterBitmap::Build(FatTable* table) {
  const FatGeometry& geometry = table->Geometry();
  cluster_count_ = geometry.cluster_count;
  bits_.assign((static_cast<size_t>(cluster_count_) + 7) / 8, 0);
  for (uint32_t i = 0; i < cluster_count_; ++i) {
    uint32_t value = 0;
    if (table->Entry(i + 2, &value) != kSuccess || table->IsFree(value)) continue;
    SetBit(i);
    // The cluster a chain points to is in use even when its own entry was lost.
    if (table->IsLink(value)) SetBit(value - 2);
  }
  return kSuccess;
}

bool FatClusterBitmap::InUse(uint32_t cluster) const {
  if (cluster < 2 || cluster - 2 >= cluster_count_) return false;
  return Bit(cluster - 2);
}

uint32_t FatClusterBitmap::FindBit(uint32_t from, bool value) const {
  uint32_t i = from;
  while (i < cluster_count_) {
    const uint8_t byte = bits_[i / 8];
    const uint8_t skip = value ? 0x00 : 0xFF;  // a whole byte without the wanted bit
    if (i % 8 == 0 && byte == skip) {
      i += 8;
      continue;
    }
    if (Bit(i) == value) return i;
    ++i;
  }
  return cluster_count_;
}

void FatClusterBitmap::NextFreeRange(const FatGeometry& geometry, uint64_t volume_sectors,
                                     uint64_t* position, uint64_t* length) const {
  *length = 0;
  const uint64_t per_cluster = geometry.sectors_per_cluster;
  const uint64_t data_start = geometry.first_data_sector;
  if (*position >= volume_sectors || cluster_count_ == 0) {
    *position = volume_sectors;
    return;
  }
  const uint64_t relative = *position > data_start ? *position - data_start : 0;
  const uint64_t k = relative / per_cluster;
  if (k >= cluster_count_) {
    *position = volume_sectors;
    return;
  }
  const uint32_t free_index = FindBit(static_cast<uint32_t>(k), false);
  if (free_index >= cluster_count_) {
    *position = volume_sectors;
    return;
  }
  const uint32_t used_index = FindBit(free_index, true);
  const uint64_t start = std::max<uint64_t>(relative, free_index * per_cluster);
  const uint64_t end = static_cast<uint64_t>(used_index) * per_cluster;
  *position = data_start + start;
  if (*position >= volume_sectors) {
    *position = volume_sectors;
    return;
  }
  *length = std::min<uint64_t>(end - start, volume_sectors - *position);
}

}  // namespace velmora
