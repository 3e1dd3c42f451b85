#include "fat/fat_file_reader.h"

#include <algorithm>
#include <vector>

#include "storage/error_codes.h"

namespace velmora {

FatClusterWalk::FatClusterWalk(FatTable* table, uint32_t first_cluster)
    : table_(table), current_(first_cluster) {
  uint32_t value = 0;
  if (table_->Entry(first_cluster, &value) == kSuccess) follows_chain_ = !table_->IsFree(value);
}

bool FatClusterWalk::Advance() {
  const FatGeometry& geometry = table_->Geometry();
  if (++steps_ >= geometry.cluster_count) return false;  // longer than the volume: a loop
  if (follows_chain_) {
    uint32_t value = 0;
    if (table_->Entry(current_, &value) != kSuccess || !table_->IsLink(value)) return false;
    current_ = value;
    return true;
  }
  // Released chain: the next cluster that no file uses.
  for (uint64_t candidate = static_cast<uint64_t>(current_) + 1;
       candidate < static_cast<uint64_t>(geometry.cluster_count) + 2; ++candidate) {
    uint32_t value = 0;
    const int err = table_->Entry(static_cast<uint32_t>(candidate), &value);
    if (err != kSuccess) return false;
    if (table_->IsFree(value)) {
      current_ = static_cast<uint32_t>(candidate);
      return true;
    }
  }
  return false;
}

int ReadFatFileData(const FatVolume& volume, FatTable* table, uint32_t first_cluster, uint64_t size,
                    const FatDataSink& sink, DeletedFileRead* deleted) {
  if (deleted != nullptr) deleted->own_bytes = 0;
  if (size == 0) return kSuccess;
  const FatGeometry& geometry = table->Geometry();
  if (!geometry.IsDataCluster(first_cluster)) return kErrInvalidParameter;
  const uint32_t cluster_bytes = geometry.ClusterBytes();
  std::vector<uint8_t> buffer(cluster_bytes);
  FatClusterWalk walk(table, first_cluster);
  if (deleted != nullptr && walk.FollowsChain()) return kErrClusterOfLiveFile;
  bool stepped_over = false;
  uint64_t remaining = size;
  while (true) {
    uint64_t sector = 0;
    if (!geometry.ClusterToSector(walk.Current(), &sector)) return kErrInvalidParameter;
    uint32_t got = 0;
    const int err = volume.Read(sector, geometry.sectors_per_cluster, buffer.data(), &got);
    if (err != kSuccess) return err;
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(cluster_bytes, remaining));
    const int stop = sink(buffer.data(), chunk);
    if (stop != kSuccess) return stop;
    if (deleted != nullptr && !stepped_over) deleted->own_bytes += chunk;
    remaining -= chunk;
    if (remaining == 0) return kSuccess;
    const uint32_t before = walk.Current();
    if (!walk.Advance()) return kErrHandleEof;
    stepped_over = stepped_over || walk.Current() != before + 1;
  }
}

}  // namespace velmora
