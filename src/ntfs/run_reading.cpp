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
                        const std::vector<DataRun>& runs, uint64_t initialized, uint8_t unit_shift,
                        uint64_t size, const StreamSink& sink) {
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

namespace {

constexpr size_t kCopyBlockBytes = 65536;

int CopyPlain(const ClusterReader& read, uint32_t cluster_bytes, const NtfsStream& stream,
              uint64_t size, const StreamSink& sink) {
  const uint32_t cs = cluster_bytes;
  // The buffer never exceeds what the copy needs: a small file gets a small one.
  const uint64_t block_clusters =
      std::min(std::max<uint64_t>(1, kCopyBlockBytes / cs), (size + cs - 1) / cs);
  std::vector<uint8_t> buffer(block_clusters * cs);
  uint64_t position = 0;
  while (position < size) {
    const uint64_t vcn = position / cs;
    const uint64_t clusters = std::min(block_clusters, (size - position + cs - 1) / cs);
    uint64_t filled = 0;
    uint64_t allocated = 0;
    int rc = kSuccess;
    if (position >= stream.initialized_size) {
      // Never written: zeros, nothing to read.
      if (!RunAt(stream.runs, vcn)) return kNtfsRunsIncomplete;
      std::memset(buffer.data(), 0, clusters * cs);
      filled = clusters;
    } else {
      rc = FillClusters(read, cs, stream.runs, vcn, clusters, buffer.data(), false, &filled,
                        &allocated);
    }
    const uint64_t bytes = std::min<uint64_t>(filled * cs, size - position);
    if (bytes > 0) {
      ZeroPastInitialized(stream.initialized_size, position, buffer.data(), bytes);
      const int stop = sink(buffer.data(), bytes);
      if (stop != 0) return stop;
    }
    if (rc != kSuccess) return rc;
    position += bytes;
  }
  return kSuccess;
}

}  // namespace

int CopyStreamThrough(const ClusterReader& read, uint32_t cluster_bytes, const NtfsStream& stream,
                      uint64_t limit, const StreamSink& sink) {
  const uint64_t size = std::min(limit, stream.Size());
  if (size == 0) return kSuccess;
  if (stream.resident) return sink(stream.resident_data.data(), static_cast<size_t>(size));
  if (cluster_bytes == 0) return kErrInvalidParameter;
  if (!stream.compressed) return CopyPlain(read, cluster_bytes, stream, size, sink);
  // Units are 16 clusters of at most 4 KiB in practice; refuse absurd claims.
  if (stream.compression_unit > 8 ||
      (uint64_t{cluster_bytes} << stream.compression_unit) > (1u << 20)) {
    return kErrNotSupported;
  }
  return CopyCompressedUnits(read, cluster_bytes, stream.runs, stream.initialized_size,
                             stream.compression_unit, size, sink);
}

}  // namespace velmora::ntfs
