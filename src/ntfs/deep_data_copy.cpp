#include "ntfs/deep_data_copy.h"

#include <algorithm>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/run_reading.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

ClusterReader ReaderOf(const VolumeWindow& volume) {
  return [&volume](uint64_t lcn, uint64_t count, uint8_t* buffer) {
    return volume.ReadClusters(lcn, count, buffer);
  };
}

}  // namespace

uint64_t VolumeWindow::ClusterLimit() const {
  if (!reader || cluster_bytes == 0 || reader->total_sectors <= volume_start) return 0;
  return (reader->total_sectors - volume_start) * sector_bytes / cluster_bytes;
}

int VolumeWindow::ReadClusters(uint64_t lcn, uint64_t count, uint8_t* buffer) const {
  if (count == 0) return kSuccess;
  const uint64_t limit = ClusterLimit();
  if (lcn > limit || count > limit - lcn) return kErrInvalidParameter;
  const uint64_t sectors_per_cluster = cluster_bytes / sector_bytes;
  const uint64_t first = volume_start + lcn * sectors_per_cluster;
  uint64_t remaining = count * sectors_per_cluster;
  // ReadSectors counts in int32: read large runs piecewise.
  constexpr uint64_t kMaxSectorsPerRead = 1u << 16;
  uint64_t done = 0;
  while (remaining > 0) {
    const uint64_t n = std::min(remaining, kMaxSectorsPerRead);
    uint32_t got = 0;
    const int rc = ReadSectors(reader, static_cast<int32_t>(n), buffer + done * sector_bytes,
                               first + done, static_cast<int32_t>(sector_bytes), &got);
    if (rc != kSuccess) return rc;
    done += n;
    remaining -= n;
  }
  return kSuccess;
}

int CopyDeepStream(const VolumeWindow& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink) {
  if (!stream.resident && (volume.cluster_bytes == 0 || volume.sector_bytes == 0 ||
                           volume.cluster_bytes % volume.sector_bytes != 0)) {
    return std::min(limit, stream.Size()) == 0 ? kSuccess : kErrInvalidParameter;
  }
  return CopyStreamThrough(ReaderOf(volume), volume.cluster_bytes, stream, limit, sink);
}

}  // namespace velmora::ntfs
