#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// One candidate layout of a FAT volume, as the deep scan infers it. Sector
// numbers are absolute (volume start included) unless named relative.
struct DeepFatGeometry {
  uint32_t sectors_per_cluster = 0;
  uint64_t first_data_sector = 0;  // relative to the volume start
  uint64_t volume_start = 0;
  // Sectors of the fixed root region in front of the data area (cluster 0).
  uint32_t root_region_sectors = 32;
  bool from_boot_sector = false;
  // Directory starts this layout explained; the most confirmed layout is tried
  // first when a sector could be a cluster start under several.
  uint64_t confirmations = 0;

  uint64_t DataStart() const { return volume_start + first_data_sector; }
  // First sector of cluster c (c >= 2), or of the root region for c = 0.
  // False for cluster 1 and for numbers whose sector would overflow.
  bool ClusterStart(uint32_t cluster, uint64_t* sector) const;
  // True when `sector` begins cluster c (c = 0 for the root region).
  bool IsClusterStart(uint64_t sector, uint32_t* cluster) const;
  // The data cluster holding `sector`, or 0 for the root region; false below both.
  bool ClusterContaining(uint64_t sector, uint32_t* cluster) const;
  bool SameLayout(const DeepFatGeometry& other) const {
    return sectors_per_cluster == other.sectors_per_cluster &&
           first_data_sector == other.first_data_sector && volume_start == other.volume_start;
  }
};

bool IsValidSectorsPerCluster(uint64_t value);

// A directory's first sector met at `sector`, whose "." entry names `cluster`.
struct DirectoryStartSample {
  uint32_t cluster = 0;
  uint64_t sector = 0;
};

// Geometry from two directory starts: both must lie at the start of their
// clusters under one power-of-two cluster size (at most 128 sectors) and a data
// area that begins at or after the volume start. False when no layout fits.
bool GeometryFromTwoStarts(const DirectoryStartSample& a, const DirectoryStartSample& b,
                           uint64_t volume_start, DeepFatGeometry* out);

// Candidate layouts and the directory starts no layout explained yet. Both lists
// are bounded, so a disk full of random directory-like sectors cannot exhaust
// memory: past kMaxGeometries no layout is added; past kMaxSamples the oldest
// sample is forgotten.
class FatGeometryList {
 public:
  static constexpr size_t kMaxGeometries = 64;
  static constexpr size_t kMaxSamples = 4096;

  void Clear();
  const std::vector<DeepFatGeometry>& All() const { return geometries_; }
  const DeepFatGeometry& At(int index) const { return geometries_[static_cast<size_t>(index)]; }
  DeepFatGeometry& At(int index) { return geometries_[static_cast<size_t>(index)]; }
  int Count() const { return static_cast<int>(geometries_.size()); }
  size_t SampleCount() const { return samples_.size(); }

  // Appends a layout; returns its index, or -1 when the list is full. An equal
  // layout already present is returned instead of a duplicate.
  int Add(const DeepFatGeometry& geometry);
  // First layout (list order) under which `sector` begins `cluster`, or -1.
  int FindExplaining(uint32_t cluster, uint64_t sector) const;
  // Compares the sample with the earlier ones; the first pair that gives a layout
  // adds it (index returned, else -1). The sample is kept in any case.
  int AddSample(const DirectoryStartSample& sample, uint64_t volume_start);
  // Indices ordered by confirmations (most first), list order among equals.
  std::vector<int> ByConfidence() const;
  // The layout whose data area begins at or below `sector` and nearest to it,
  // preferring layouts not taken from a boot sector when there are any; the
  // first layout when none begins below. -1 when the list is empty.
  int NearestBelow(uint64_t sector) const;

 private:
  std::vector<DeepFatGeometry> geometries_;
  std::vector<DirectoryStartSample> samples_;
  size_t oldest_sample_ = 0;  // ring position once the sample list is full
};

}  // namespace velmora
