#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_table.h"
#include "fat/fat_volume.h"

namespace velmora {

// Which clusters hold a file, cluster by cluster. A file whose first cluster is
// still allocated follows its FAT chain. A file whose first cluster is free (its
// chain was released on deletion) is taken from the following free clusters,
// stepping over clusters that another file now uses. Never leaves the data
// area and never visits more clusters than the volume has.
class FatClusterWalk {
 public:
  FatClusterWalk(FatTable* table, uint32_t first_cluster);

  uint32_t Current() const { return current_; }
  bool FollowsChain() const { return follows_chain_; }
  // Moves to the next cluster; false when there is none (end of chain,
  // damaged link, a loop, or no free cluster left).
  bool Advance();

 private:
  FatTable* table_;
  uint32_t current_;
  bool follows_chain_ = false;
  uint64_t steps_ = 0;
};

// Streams `size` bytes of a file to `sink`, one cluster per call. Results: 0,
// the read error, 87 when the first cluster lies outside the data area, 38 when
// the clusters end before the size is reached, or the sink's non-zero result.
using FatDataSink = std::function<int(const uint8_t* data, size_t length)>;

// A read of a deleted entry's data: its chain was released, so an allocated cluster is a live
// file's. Its first cluster allocated gives kErrClusterOfLiveFile with nothing read (the chain
// there is the live file's); `own_bytes` tells how many bytes were delivered before the walk
// first stepped over a live file's cluster (all of them when it never did): only those can be
// the file's own when the read fails later.
struct DeletedFileRead {
  uint64_t own_bytes = 0;
};

int ReadFatFileData(const FatVolume& volume, FatTable* table, uint32_t first_cluster, uint64_t size,
                    const FatDataSink& sink, DeletedFileRead* deleted = nullptr);

}  // namespace velmora
