#include "ntfs/mft_map.h"

#include <algorithm>

namespace velmora::ntfs {

bool MftLayout::MftSectorToDevice(uint64_t index, uint64_t* sector) const {
  if (runs.empty()) {
    if (index > UINT64_MAX - contiguous_start) return false;
    *sector = contiguous_start + index;
    return true;
  }
  if (sectors_per_cluster == 0) return false;
  const uint64_t vcn = index / sectors_per_cluster;
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                             [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return false;
  const DataRun& run = *(it - 1);
  if (vcn >= run.vcn + run.length || run.kind != RunKind::kAllocated) return false;
  const uint64_t cluster = run.lcn + (vcn - run.vcn);
  if (cluster >= (UINT64_MAX - volume_start) / sectors_per_cluster) return false;
  *sector = volume_start + cluster * sectors_per_cluster + index % sectors_per_cluster;
  return true;
}

bool MftLayout::RecordSector(uint64_t number, uint32_t sectors_per_record, uint64_t* sector) const {
  if (number > UINT64_MAX / std::max<uint32_t>(1, sectors_per_record)) return false;
  return MftSectorToDevice(number * sectors_per_record, sector);
}

bool ContiguousLayout(uint64_t number, uint64_t sector, uint32_t sectors_per_record,
                      uint64_t volume_start, uint32_t sectors_per_cluster, MftLayout* out) {
  if (number > UINT64_MAX / std::max<uint32_t>(1, sectors_per_record)) return false;
  const uint64_t offset = number * sectors_per_record;
  if (offset > sector) return false;
  *out = MftLayout{};
  out->volume_start = volume_start;
  out->sectors_per_cluster = sectors_per_cluster;
  out->contiguous_start = sector - offset;
  return true;
}

bool MftMap::Add(uint64_t mft_start, uint32_t sectors_per_cluster, std::vector<DataRun> runs) {
  if (sectors_per_cluster == 0 || runs.empty() || runs.size() > kMaxRunsPerEntry) return false;
  const DataRun& first = runs.front();
  if (first.kind != RunKind::kAllocated || first.vcn != 0) return false;
  if (first.lcn > mft_start / sectors_per_cluster) return false;
  if (entries_.size() >= kMaxEntries && entries_.count(mft_start) == 0) return false;
  MftLayout layout;
  layout.volume_start = mft_start - first.lcn * sectors_per_cluster;
  layout.sectors_per_cluster = sectors_per_cluster;
  layout.runs = std::move(runs);
  layout.from_map = true;
  entries_[mft_start] = std::move(layout);
  return true;
}

bool MftMap::Locate(uint64_t number, uint64_t sector, uint32_t sectors_per_record,
                    MftLayout* out) const {
  for (const auto& [start, layout] : entries_) {
    uint64_t predicted = 0;
    if (layout.RecordSector(number, sectors_per_record, &predicted) && predicted == sector) {
      *out = layout;
      return true;
    }
  }
  return false;
}

}  // namespace velmora::ntfs
