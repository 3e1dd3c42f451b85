#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "ntfs/attribute_stream.h"
#include "ntfs/data_runs.h"

namespace velmora::ntfs {

// Reading non-resident data through its runs, the same for a mounted volume
// and for one known only from a deep-scan record.

// Reads `count` clusters from cluster `lcn` of the volume into `buffer`.
using ClusterReader = std::function<int(uint64_t lcn, uint64_t count, uint8_t* buffer)>;

// The run holding cluster `vcn` of runs sorted by vcn, or null in a gap.
const DataRun* RunAt(const std::vector<DataRun>& runs, uint64_t vcn);

// Fills `count` clusters from `vcn`: disk clusters or, for holes, zeros (or
// nothing when `pack_allocated`, which gathers only stored clusters).
// `allocated` counts the clusters that came from disk. kNtfsRunsIncomplete at
// a gap, with `filled` clusters done.
int FillClusters(const ClusterReader& read, uint32_t cluster_bytes,
                 const std::vector<DataRun>& runs, uint64_t vcn, uint64_t count, uint8_t* buffer,
                 bool pack_allocated, uint64_t* filled, uint64_t* allocated);

// Zeros the bytes of a piece at `position` that lie past the initialized size.
void ZeroPastInitialized(uint64_t initialized, uint64_t position, uint8_t* data, size_t length);

// Delivers the first `size` bytes of compressed data unit by unit (2^unit_shift
// clusters each): a unit stored whole is passed on as is, others are
// decompressed. A unit whose runs end early is used as far as its compressed
// bytes go; a damaged unit gives kNtfsRunsIncomplete once all were delivered.
int CopyCompressedUnits(const ClusterReader& read, uint32_t cluster_bytes,
                        const std::vector<DataRun>& runs, uint64_t initialized, uint8_t unit_shift,
                        uint64_t size, const StreamSink& sink);

// Delivers the first min(limit, size) bytes of a stream whose clusters of `cluster_bytes` are
// read through `read`, for both engines: resident bytes, allocated clusters in pieces of at most
// 64 KiB (or one cluster when larger), zeros for holes and past the initialized size (never read),
// compressed units decompressed. Data the runs do not reach ends the copy with
// kNtfsRunsIncomplete after the covered part was delivered.
int CopyStreamThrough(const ClusterReader& read, uint32_t cluster_bytes, const NtfsStream& stream,
                      uint64_t limit, const StreamSink& sink);

}  // namespace velmora::ntfs
