#include "ntfs/deep_data_copy.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/lznt1.h"
#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

constexpr size_t kCopyBlockBytes = 65536;

const DataRun* RunAt(const std::vector<DataRun>& runs, uint64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                             [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  return vcn < it->vcn + it->length ? &*it : nullptr;
}

// Fills `count` clusters from `vcn`: disk clusters or, for holes, zeros (or
// nothing when `pack_allocated`, which gathers only stored clusters).
int FillClusters(const VolumeWindow& volume, const std::vector<DataRun>& runs, uint64_t vcn,
                 uint64_t count, uint8_t* buffer, bool pack_allocated, uint64_t* filled,
                 uint64_t* allocated) {
  const uint32_t cs = volume.cluster_bytes;
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
      const int rc = volume.ReadClusters(run->lcn + (at - run->vcn), n, target);
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
    const int rc =
        FillClusters(volume, runs, vcn, clusters, buffer.data(), false, &filled, &allocated);
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

int CopyCompressed(const VolumeWindow& volume, const std::vector<DataRun>& runs,
                   uint64_t initialized, uint8_t unit_shift, uint64_t size, const DataSink& sink) {
  const uint32_t cs = volume.cluster_bytes;
  const uint64_t unit_clusters = uint64_t{1} << unit_shift;
  const size_t unit_bytes = unit_clusters * cs;
  std::vector<uint8_t> raw(unit_bytes);
  std::vector<uint8_t> plain(unit_bytes);
  int damaged = kSuccess;
  for (uint64_t position = 0; position < size; position += unit_bytes) {
    uint64_t filled = 0;
    uint64_t allocated = 0;
    const int rc = FillClusters(volume, runs, position / cs, unit_clusters, raw.data(), true,
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
  if (!attribute.non_resident) {
    stream->resident = true;
    stream->resident_data.assign(attribute.value.begin(), attribute.value.end());
    return;
  }
  if (attribute.start_vcn == 0) {
    stream->real_size = attribute.real_size;
    stream->initialized_size = std::min(attribute.initialized_size, attribute.real_size);
    stream->allocated_size = attribute.allocated_size;
    stream->compressed = attribute.IsCompressed() && attribute.compression_unit != 0;
    stream->compression_unit = attribute.compression_unit;
    stream->encrypted = attribute.IsEncrypted();
  }
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
    return CopyCompressed(volume, stream.runs, stream.initialized_size, stream.compression_unit,
                          size, sink);
  }
  return CopyPlain(volume, stream.runs, stream.initialized_size, size, sink);
}

}  // namespace velmora::ntfs
