#include "ntfs/cluster_estimate.h"

#include "ntfs/data_runs.h"
#include "storage/boot_record.h"

namespace velmora::ntfs {

namespace {

constexpr uint32_t kLargestSectorsPerCluster = 4096;

}  // namespace

uint32_t DefaultSectorsPerCluster(uint64_t sector_count, uint32_t bytes_per_sector) {
  if (bytes_per_sector == 0) bytes_per_sector = 512;
  const double d = bytes_per_sector / 512.0;
  const double mib = static_cast<double>(sector_count) * bytes_per_sector / (1024.0 * 1024.0);
  // Tiny and large volumes both get the common 4 KiB-on-512 default.
  if (mib <= 7 * d) return 8;
  if (mib <= bytes_per_sector) return 1;
  if (mib <= 1024 * d) return 2;
  if (mib <= 2048 * d) return 4;
  return 8;
}

uint32_t SectorsPerClusterFromRecord(const MftRecord& record, uint32_t bytes_per_sector) {
  if (bytes_per_sector == 0) return 0;
  // Attributes are sorted by type: a list before $DATA means the data may be elsewhere.
  for (const MftAttribute& a : record.attributes) {
    if (a.type == kAttrAttributeList) return 0;
    if (a.type != kAttrData) continue;
    if (!a.non_resident || a.start_vcn != 0) return 0;
    std::vector<DataRun> runs;
    if (DecodeDataRuns(a.mapping_pairs, 0, 0, &runs) != RunDecodeResult::kComplete) return 0;
    const uint64_t clusters = TotalClusters(runs);
    if (clusters == 0 || a.last_vcn + 1 != clusters) return 0;
    if (a.allocated_size % clusters != 0) return 0;
    const uint64_t cluster_bytes = a.allocated_size / clusters;
    if (cluster_bytes % bytes_per_sector != 0) return 0;
    const uint64_t sectors = cluster_bytes / bytes_per_sector;
    if (!IsPowerOfTwo(sectors) || sectors > kLargestSectorsPerCluster) return 0;
    return static_cast<uint32_t>(sectors);
  }
  return 0;
}

}  // namespace velmora::ntfs
