#pragma once

#include <cstdint>
#include <functional>

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

// Receives data in order; a non-zero result stops the copy and is returned.
using DataSink = std::function<int(const uint8_t* data, size_t length)>;

// Adds one extent of an attribute (resident value or runs) to `stream`; the
// extent at cluster 0 gives the sizes. Runs are checked against the device.
void AddDeepExtent(const VolumeWindow& volume, const MftAttribute& attribute, NtfsStream* stream);

// Delivers the first min(limit, size) bytes of a stream: the resident value,
// or its runs' clusters with holes and the part past the initialized size as
// zeros, compressed units decompressed. Data the runs do not reach ends the
// copy with kNtfsRunsIncomplete after the covered part was delivered.
int CopyDeepStream(const VolumeWindow& volume, const NtfsStream& stream, uint64_t limit,
                   const DataSink& sink);

}  // namespace velmora::ntfs
