// Copy-out and preview of the FAT deep engine's records. Without a trusted FAT,
// a file's data is read from consecutive clusters from its first cluster on.

#include <algorithm>
#include <vector>

#include "engine/recovery_output.h"
#include "fat/deep_fat_recovery.h"
#include "storage/error_codes.h"

namespace velmora {

int CProfessionalFatRecovery::CheckRecord(const ScanRecord& record) const {
  if (!open_ || record.source_kind != kSourceFatDeep) return kErrInvalidParameter;
  if (record.is_directory) return kSuccess;
  if (record.cluster_size <= 0 ||
      static_cast<uint64_t>(record.cluster_size) > kMaxFatClusterBytes) {
    return kErrWriteFault;
  }
  if (record.cluster_size % static_cast<int32_t>(bytes_per_sector_) != 0) {
    return kErrInvalidParameter;
  }
  // The record must come from the region this engine is open on.
  if (record.partition_start < volume_start_ ||
      record.partition_start - volume_start_ > volume_sectors_) {
    return kErrInvalidParameter;
  }
  return kSuccess;
}

int CProfessionalFatRecovery::ReadFileData(
    const ScanRecord& record, uint64_t size,
    const std::function<int(const uint8_t*, size_t)>& sink) const {
  if (size == 0) return kSuccess;
  const uint32_t sectors_per_cluster =
      static_cast<uint32_t>(record.cluster_size) / bytes_per_sector_;
  if (record.object_id < 2 || sectors_per_cluster == 0) return kErrInvalidParameter;
  const uint64_t data_start = record.partition_start + record.data_area_start;
  const uint64_t offset = static_cast<uint64_t>(record.object_id - 2) * sectors_per_cluster;
  if (data_start >= VolumeEnd() || offset >= VolumeEnd() - data_start) return kErrInvalidParameter;
  uint64_t sector = data_start + offset;
  std::vector<uint8_t> buffer(static_cast<size_t>(sectors_per_cluster) * bytes_per_sector_);
  uint64_t remaining = size;
  while (remaining > 0) {
    // The last cluster of the volume may be cut short by its end.
    const uint64_t left_on_volume = VolumeEnd() > sector ? VolumeEnd() - sector : 0;
    if (left_on_volume == 0) return kErrHandleEof;
    const uint32_t count = static_cast<uint32_t>(
        std::min<uint64_t>({sectors_per_cluster, left_on_volume,
                            (remaining + bytes_per_sector_ - 1) / bytes_per_sector_}));
    int result = ReadAbsolute(sector, count, buffer.data());
    if (result != kSuccess) return result;
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>(remaining, uint64_t{count} * bytes_per_sector_));
    result = sink(buffer.data(), length);
    if (result != kSuccess) return result;
    remaining -= length;
    sector += count;
  }
  return kSuccess;
}

int CProfessionalFatRecovery::CopyFileTo(const ScanRecord& record, const std::string& path) {
  return CopyFatFileOut(ReaderFor(record), record.size, path, file_progress_, callback_context_);
}

FatRecordReader CProfessionalFatRecovery::ReaderFor(const ScanRecord& record) const {
  return [this, record](uint64_t size, const FatDataSink& sink) {
    return ReadFileData(record, size, sink);
  };
}

int CProfessionalFatRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                          int base_depth) {
  const int result = CheckRecord(record);
  if (result != kSuccess) return result;
  return RecoverFatRecord(*this, store_.get(), record, destination, base_depth,
                          [this](const ScanRecord& child, const std::string& path) {
                            const int checked = CheckRecord(child);
                            return checked == kSuccess ? CopyFileTo(child, path) : checked;
                          });
}

int CProfessionalFatRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                          uint8_t* memory, int* bytes,
                                          PreviewProgressCallback callback, void* context) {
  return PreviewFatRecord(record, CheckRecord(record), ReaderFor(record), path, memory, bytes,
                          callback, context);
}

}  // namespace velmora
