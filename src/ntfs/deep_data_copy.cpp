#include "ntfs/deep_data_copy.h"

#include <algorithm>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/run_reading.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

constexpr size_t kCopyBlockBytes = 65536;

ClusterReader ReaderOf(const VolumeWindow& volume) {
  return [&volume](uint64_t lcn, uint64_t count, uint8_t* buffer) {
    return volume.ReadClusters(lcn, count, buffer);
  };
}

int CopyPlain(const VolumeWindow& volume, const std::vector<DataRun>& runs, uint64_t initialized,
              uint64_t size, const DataSink& sink) {
  const uint32_t cs = volume.cluster_bytes;
  const uint64_t block_clusters = std::max<uint64_t>(1, kCopyBlockBytes / cs);
  std::vector<uint8_t> buffer(block_clusters * cs);
  uint64_t position = 0;
  while (position < size) {
    const uint64_t vcn = position / cs;
    const uint64_t clusters = std::min(block_clusters, (size - position + cs - 1) / cs);
    uint64_t filled = 0;
    uint64_t allocated = 0;
    const int rc = FillClusters(ReaderOf(volume), cs, runs, vcn, clusters, buffer.data(), false,
                                &filled, &allocated);
    const uint64_t bytes = std::min<uint64_t>(filled * cs, size - position);
    if (bytes > 0) {
      ZeroPastInitialized(initialized, position, buffer.data(), bytes);
      const int stop = sink(buffer.data(), bytes);
      if (stop != 0) return stop;
    }
    if (rc != kSuccess) return rc;
    position += bytes;
  }
  return kSuccess;
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

void AddDeepExtent(const VolumeWindow& volume, const MftAttribute& attribute, NtfsStream* stream) {
  TakeExtentValueAndSizes(attribute, stream);
  if (!attribute.non_resident) return;
  std::vector<DataRun> runs;
  if (DecodeDataRuns(attribute.mapping_pairs, attribute.start_vcn, volume.ClusterLimit(), &runs) !=
      RunDecodeResult::kComplete) {
    stream->runs_complete = false;
  }
  stream->runs.insert(stream->runs.end(), runs.begin(), runs.end());
  std::sort(stream->runs.begin(), stream->runs.end(),
            [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
}

int CopyDeepStream(const VolumeWindow& volume, const NtfsStream& stream, uint64_t limit,
                   const DataSink& sink) {
  const uint64_t size = std::min(limit, stream.Size());
  if (size == 0) return kSuccess;
  if (stream.resident) return sink(stream.resident_data.data(), static_cast<size_t>(size));
  if (volume.cluster_bytes == 0 || volume.sector_bytes == 0 ||
      volume.cluster_bytes % volume.sector_bytes != 0) {
    return kErrInvalidParameter;
  }
  if (stream.compressed) {
    // Units are 16 clusters of at most 4 KiB in practice; refuse absurd claims.
    if (stream.compression_unit > 8 ||
        (uint64_t{volume.cluster_bytes} << stream.compression_unit) > (1u << 20)) {
      return kErrNotSupported;
    }
    return CopyCompressedUnits(ReaderOf(volume), volume.cluster_bytes, stream.runs,
                               stream.initialized_size, stream.compression_unit, size, sink);
  }
  return CopyPlain(volume, stream.runs, stream.initialized_size, size, sink);
}

}  // namespace velmora::ntfs
