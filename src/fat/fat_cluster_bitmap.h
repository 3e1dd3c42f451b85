#pragma once

#include <cstdint>
#include <vector>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_table.h"

namespace velmora {

// One bit per data cluster (bit k is cluster k + 2), set when the cluster is in
// use. Lets a deep scan visit only the free space of a volume.
class FatClusterBitmap {
 public:
  // Rebuilds from the FAT. A cluster whose entry cannot be read counts as free.
  int Build(FatTable* table);
  bool Empty() const { return bits_.empty(); }
  uint32_t ClusterCount() const { return cluster_count_; }
  bool InUse(uint32_t cluster) const;

  // The next run of free clusters at or after `*position` (sectors from the
  // volume start), as sectors; `volume_sectors` bounds both. At the end
  // `*position` becomes `volume_sectors` and `*length` 0.
  void NextFreeRange(const FatGeometry& geometry, uint64_t volume_sectors, uint64_t* position,
                     uint64_t* length) const;

 private:
  bool Bit(uint32_t index) const { return (bits_[index / 8] >> (index % 8)) & 1; }
  void SetBit(uint32_t index) { bits_[index / 8] |= static_cast<uint8_t>(1u << (index % 8)); }
  // First index >= from whose bit equals `value`, or cluster_count_.
  uint32_t FindBit(uint32_t from, bool value) const;

  std::vector<uint8_t> bits_;
  uint32_t cluster_count_ = 0;
};

}  // namespace velmora
