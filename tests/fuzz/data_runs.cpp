// Mapping pairs. The first 8 bytes are the cluster limit (0: none), the rest the pairs.
#include <cstring>
#include <vector>

#include "fuzz_target.h"
#include "ntfs/data_runs.h"

using namespace velmora::ntfs;

VELMORA_FUZZ_TARGET(data_runs) {
  if (size < 8) return;
  uint64_t limit = 0;
  std::memcpy(&limit, data, 8);
  limit &= 0xFFFFFFFFFFull;  // volumes of up to 2^40 clusters
  std::vector<DataRun> runs;
  (void)DecodeDataRuns({data + 8, size - 8}, 0, limit, &runs);
  uint64_t vcn = 0;
  for (const DataRun& run : runs) {
    FUZZ_CHECK(run.vcn == vcn);
    vcn += run.length;
    if (limit != 0 && run.kind == RunKind::kAllocated) FUZZ_CHECK(run.lcn < limit);
  }
  (void)TotalClusters(runs);
}
