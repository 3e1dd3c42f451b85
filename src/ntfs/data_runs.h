#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velmora::ntfs {

enum class RunKind : uint8_t {
  kAllocated,  // clusters on disk at `lcn`
  kSparse,     // a hole: reads as zeros, nothing on disk
};

// One extent of an attribute's data, with absolute cluster numbers.
struct DataRun {
  uint64_t vcn = 0;     // first cluster of the run inside the attribute
  uint64_t length = 0;  // clusters
  uint64_t lcn = 0;     // first cluster on the volume (allocated runs)
  RunKind kind = RunKind::kAllocated;
};

enum class RunDecodeResult {
  kComplete,   // ended at the terminating zero byte
  kTruncated,  // the mapping pairs ran out or a field was malformed; runs so far kept
};

// Decodes mapping pairs, appending runs that start at `start_vcn`. Each pair's
// length and offset field sizes are checked against the end of `pairs`; a
// pair with no offset field is a hole; an offset that would move before cluster
// 0 or past `cluster_limit` (when not 0) ends decoding.
RunDecodeResult DecodeDataRuns(std::span<const uint8_t> pairs, uint64_t start_vcn,
                               uint64_t cluster_limit, std::vector<DataRun>* runs);

// Sum of the lengths of all runs, holes included.
uint64_t TotalClusters(const std::vector<DataRun>& runs);

}  // namespace velmora::ntfs
