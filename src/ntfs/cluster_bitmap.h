#pragma once

#include <cstdint>
#include <vector>

namespace velmora::ntfs {

// Allocation state of the volume's clusters as $Bitmap stores it: bit c of byte
// c / 8 (least significant first) is 1 for an allocated cluster.
class ClusterBitmap {
 public:
  void Assign(std::vector<uint8_t> bits, uint64_t valid_bytes);
  bool Empty() const { return bits_.empty(); }
  uint64_t ClusterCount() const { return bits_.size() * 8; }
  bool IsAllocated(uint64_t cluster) const;

  // From `position` (sectors from the volume start) moves to the first free
  // cluster at or after it and gives the free sectors from there in `length`.
  // When nothing free is left the position moves to `sector_count` and the
  // length is 0, so a caller's loop always ends.
  void NextFreeRange(uint64_t sectors_per_cluster, uint64_t sector_count, uint64_t* position,
                     uint64_t* length) const;

 private:
  // First cluster at or after `from` whose bit equals `allocated`; ClusterCount() if none.
  uint64_t FindFrom(uint64_t from, bool allocated) const;

  std::vector<uint8_t> bits_;
};

}  // namespace velmora::ntfs
