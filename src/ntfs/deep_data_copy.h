#pragma once

#include <cstdint>

#include "ntfs/attribute_stream.h"
#include "ntfs/mft_record.h"
#include "storage/sector_reader.h"

namespace velmora::ntfs {

// A volume known only by where it starts and its cluster size, as a deep-scan
// record describes it (no boot sector needed).
struct VolumeWindow {
  SectorReader* reader = nullptr;
  uint64_t volume_start = 0;  // absolute sector
  uint32_t sector_bytes = 512;
  uint32_t cluster_bytes = 0;

  // Clusters between the volume start and the end of the device.
  uint64_t ClusterLimit() const;
  // Reads `count` clusters from cluster `lcn`; 87 past the end of the device.
  int ReadClusters(uint64_t lcn, uint64_t count, uint8_t* buffer) const;
};

// CopyStreamThrough over the clusters of a window; a non-resident stream needs a cluster size
// that is a whole number of sectors.
int CopyDeepStream(const VolumeWindow& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink);

}  // namespace velmora::ntfs
