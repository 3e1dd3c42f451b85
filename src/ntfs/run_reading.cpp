#include "ntfs/run_reading.h"

#include <algorithm>
#include <cstring>

#include "ntfs/lznt1.h"
#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

const DataRun* RunAt(const std::vector<DataRun>& runs, uint64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                             [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  return vcn < it->vcn + it->length ? &*it : nullptr;
}

int FillClusters(const ClusterReader& read, uint32_t cluster_bytes,
                 const std::vector<DataRun>& runs, uint64_t vcn, uint64_t count, uint8_t* buffer,
                 bool pack_allocated, uint64_t* filled, uint64_t* allocated) {
  const uint32_t cs = cluster_bytes;
  *filled = 0;
  *allocated = 0;
  while (*filled < count) {
    const uint64_t at = vcn + *filled;
    const DataRun* run = RunAt(runs, at);
    if (!run) return kNtfsRunsIncomplete;
    const uint64_t n = std::min(count - *filled, run->vcn + run->length - at);
    if (run->kind == RunKind::kSparse) {
      if (!pack_allocated) std::memset(buffer + *filled * cs, 0, n * cs);
    } else {
      uint8_t* target = buffer + (pack_allocated ? *allocated : *filled) * cs;
      const int rc = read(run->lcn + (at - run->vcn), n, target);
      if (rc != kSuccess) return rc;
      *allocated += n;
    }
    *filled += n;
  }
  return kSuccess;
}

void ZeroPastInitialized(uint64_t initialized, uint64_t position, uint8_t* data, size_t length) {
  if (position + length <= initialized) return;
  const uint64_t keep = initialized > position ? initialized - position : 0;
  std::memset(data + keep, 0, length - keep);
}

int CopyCompressedUnits(const ClusterReader& read, uint32_t cluster_bytes,
                        const std::vector<DataRun>& runs, uint64_t initialized,
                        uint8_t unit_shift, uint64_t size, const StreamSink& sink) {
  const uint32_t cs = cluster_bytes;
  const uint64_t unit_clusters = uint64_t{1} << unit_shift;
  const size_t unit_bytes = unit_clusters * cs;
  std::vector<uint8_t> raw(unit_bytes);
  std::vector<uint8_t> plain(unit_bytes);
  int damaged = kSuccess;
  for (uint64_t position = 0; position < size; position += unit_bytes) {
    uint64_t filled = 0;
    uint64_t allocated = 0;
    const int rc = FillClusters(read, cs, runs, position / cs, unit_clusters, raw.data(), true,
                                &filled, &allocated);
    if (rc != kSuccess && (rc != kNtfsRunsIncomplete || filled == 0)) return rc;
    const uint64_t bytes = std::min<uint64_t>(unit_bytes, size - position);
    if (allocated == unit_clusters) {
      std::memcpy(plain.data(), raw.data(), bytes);  // stored uncompressed
    } else {
      std::fill(plain.begin(), plain.end(), 0);
      size_t produced = 0;
      if (allocated != 0 && !DecompressLznt1({raw.data(), allocated * cs}, plain, &produced)) {
        damaged = kNtfsRunsIncomplete;
      }
    }
    ZeroPastInitialized(initialized, position, plain.data(), bytes);
    const int stop = sink(plain.data(), bytes);
    if (stop != 0) return stop;
  }
  return damaged;
}

}  // namespace velmora::ntfs
