#include "fat/fat_geometry_inference.h"

#include <algorithm>
#include <limits>

namespace velmora {

bool IsValidSectorsPerCluster(uint64_t value) {
  return value >= 1 && value <= 128 && (value & (value - 1)) == 0;
}

bool DeepFatGeometry::ClusterStart(uint32_t cluster, uint64_t* sector) const {
  if (cluster == 0) {
    if (DataStart() < root_region_sectors) return false;
    *sector = DataStart() - root_region_sectors;
    return true;
  }
  if (cluster < 2 || sectors_per_cluster == 0) return false;
  const uint64_t offset = static_cast<uint64_t>(cluster - 2) * sectors_per_cluster;
  if (offset > std::numeric_limits<uint64_t>::max() - DataStart()) return false;
  *sector = DataStart() + offset;
  return true;
}

bool DeepFatGeometry::IsClusterStart(uint64_t sector, uint32_t* cluster) const {
  if (sectors_per_cluster == 0) return false;
  if (sector < DataStart()) {
    if (root_region_sectors == 0 || DataStart() < root_region_sectors ||
        sector != DataStart() - root_region_sectors) {
      return false;
    }
    *cluster = 0;
    return true;
  }
  const uint64_t offset = sector - DataStart();
  if (offset % sectors_per_cluster != 0) return false;
  const uint64_t index = offset / sectors_per_cluster + 2;
  if (index > 0x0FFFFFFF) return false;  // beyond any FAT32 cluster number
  *cluster = static_cast<uint32_t>(index);
  return true;
}

bool DeepFatGeometry::ClusterContaining(uint64_t sector, uint32_t* cluster) const {
  if (sectors_per_cluster == 0) return false;
  if (sector < DataStart()) {
    if (DataStart() - sector > root_region_sectors) return false;
    *cluster = 0;
    return true;
  }
  const uint64_t index = (sector - DataStart()) / sectors_per_cluster + 2;
  if (index > 0x0FFFFFFF) return false;
  *cluster = static_cast<uint32_t>(index);
  return true;
}

bool GeometryFromTwoStarts(const DirectoryStartSample& a, const DirectoryStartSample& b,
                           uint64_t volume_start, DeepFatGeometry* out) {
  if (a.cluster == b.cluster || a.cluster < 2 || b.cluster < 2) return false;
  const DirectoryStartSample& low = a.cluster < b.cluster ? a : b;
  const DirectoryStartSample& high = a.cluster < b.cluster ? b : a;
  // A higher cluster always lies further into the data area.
  if (high.sector <= low.sector) return false;
  const uint64_t sector_distance = high.sector - low.sector;
  const uint64_t cluster_distance = high.cluster - low.cluster;
  if (sector_distance % cluster_distance != 0) return false;
  const uint64_t spc = sector_distance / cluster_distance;
  if (!IsValidSectorsPerCluster(spc)) return false;
  const uint64_t low_offset = spc * (low.cluster - 2);
  if (low_offset > low.sector) return false;
  const uint64_t data_start = low.sector - low_offset;
  if (high.sector - spc * (high.cluster - 2) != data_start) return false;
  if (data_start < volume_start) return false;
  out->sectors_per_cluster = static_cast<uint32_t>(spc);
  out->first_data_sector = data_start - volume_start;
  out->volume_start = volume_start;
  out->root_region_sectors = 32;
  out->from_boot_sector = false;
  out->confirmations = 2;
  return true;
}

void FatGeometryList::Clear() {
  geometries_.clear();
  samples_.clear();
  oldest_sample_ = 0;
}

int FatGeometryList::Add(const DeepFatGeometry& geometry) {
  for (size_t i = 0; i < geometries_.size(); ++i) {
    if (geometries_[i].SameLayout(geometry)) return static_cast<int>(i);
  }
  if (geometries_.size() >= kMaxGeometries) return -1;
  geometries_.push_back(geometry);
  return static_cast<int>(geometries_.size() - 1);
}

int FatGeometryList::FindExplaining(uint32_t cluster, uint64_t sector) const {
  for (size_t i = 0; i < geometries_.size(); ++i) {
    uint64_t start = 0;
    if (geometries_[i].ClusterStart(cluster, &start) && start == sector) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int FatGeometryList::AddSample(const DirectoryStartSample& sample, uint64_t volume_start) {
  int found = -1;
  for (const DirectoryStartSample& earlier : samples_) {
    DeepFatGeometry geometry;
    if (!GeometryFromTwoStarts(sample, earlier, volume_start, &geometry)) continue;
    found = Add(geometry);
    break;
  }
  if (samples_.size() < kMaxSamples) {
    samples_.push_back(sample);
  } else {
    samples_[oldest_sample_] = sample;
    oldest_sample_ = (oldest_sample_ + 1) % kMaxSamples;
  }
  return found;
}

std::vector<int> FatGeometryList::ByConfidence() const {
  std::vector<int> order(geometries_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(),
                   [this](int a, int b) { return At(a).confirmations > At(b).confirmations; });
  return order;
}

int FatGeometryList::NearestBelow(uint64_t sector) const {
  if (geometries_.empty()) return -1;
  bool any_inferred = false;
  for (const DeepFatGeometry& g : geometries_) any_inferred |= !g.from_boot_sector;
  int best = -1;
  for (size_t i = 0; i < geometries_.size(); ++i) {
    const DeepFatGeometry& g = geometries_[i];
    if (any_inferred && g.from_boot_sector) continue;
    if (g.DataStart() > sector) continue;
    if (best < 0 || g.DataStart() > At(best).DataStart()) best = static_cast<int>(i);
  }
  return best >= 0 ? best : 0;
}

}  // namespace velmora
