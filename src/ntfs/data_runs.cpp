#include "ntfs/data_runs.h"

#include "storage/byte_view.h"

namespace velmora::ntfs {

RunDecodeResult DecodeDataRuns(std::span<const uint8_t> pairs, uint64_t start_vcn,
                               uint64_t cluster_limit, std::vector<DataRun>* runs) {
  size_t pos = 0;
  uint64_t vcn = start_vcn;
  int64_t lcn = 0;
  while (pos < pairs.size()) {
    const uint8_t header = pairs[pos];
    if (header == 0) return RunDecodeResult::kComplete;
    const size_t length_bytes = header & 0x0F;
    const size_t offset_bytes = header >> 4;
    if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8)
      return RunDecodeResult::kTruncated;
    if (pairs.size() - pos - 1 < length_bytes + offset_bytes) return RunDecodeResult::kTruncated;
    const ByteView field = ByteView(pairs).Sub(pos + 1, length_bytes + offset_bytes);
    const uint64_t length = field.LeN(0, length_bytes).value_or(0);
    if (length == 0 || (length >> 62) != 0) return RunDecodeResult::kTruncated;
    DataRun run;
    run.vcn = vcn;
    run.length = length;
    if (offset_bytes == 0) {
      run.kind = RunKind::kSparse;
    } else {
      uint64_t raw = field.LeN(length_bytes, offset_bytes).value_or(0);
      if (offset_bytes < 8 && (field.U8(length_bytes + offset_bytes - 1).value_or(0) & 0x80) != 0) {
        raw |= ~uint64_t{0} << (8 * offset_bytes);  // sign-extend
      }
      const int64_t delta = static_cast<int64_t>(raw);
      if ((delta > 0 && lcn > INT64_MAX - delta) || lcn + delta < 0)
        return RunDecodeResult::kTruncated;
      lcn += delta;
      const auto start = static_cast<uint64_t>(lcn);
      if (cluster_limit != 0 && (start >= cluster_limit || length > cluster_limit - start)) {
        return RunDecodeResult::kTruncated;
      }
      run.lcn = start;
    }
    runs->push_back(run);
    vcn += length;
    pos += 1 + length_bytes + offset_bytes;
  }
  return RunDecodeResult::kTruncated;
}

uint64_t TotalClusters(const std::vector<DataRun>& runs) {
  uint64_t total = 0;
  for (const DataRun& r : runs) total += r.length;
  return total;
}

}  // namespace velmora::ntfs
