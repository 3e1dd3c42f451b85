// Copy-out and preview of the records found by the quick FAT scan.
#include "engine/recovery_output.h"
#include "fat/fat_file_reader.h"
#include "fat/quick_fat_recovery.h"
#include "storage/error_codes.h"

namespace velmora {

int CFastFatRecovery::CheckRecord(const ScanRecord& record) const {
  if (!open_) return kErrInvalidParameter;
  // Records carry the geometry of the volume they came from.
  if (record.cluster_size != static_cast<int32_t>(geometry_.ClusterBytes()) ||
      record.data_area_start != geometry_.first_data_sector) {
    return kErrInvalidParameter;
  }
  if (static_cast<uint64_t>(geometry_.ClusterBytes()) > kMaxFatClusterBytes) return kErrWriteFault;
  return kSuccess;
}

int CFastFatRecovery::CopyFileTo(const ScanRecord& record, const std::string& path) {
  DeletedFileRead read;
  const uint32_t first_cluster = record.object_id;
  const bool existing = EntryStateOf(record) == EntryState::kExisting;
  return CopyFatFileOut(
      [this, first_cluster, existing, &read](uint64_t size, const FatDataSink& sink) {
        return ReadFatFileData(volume_, &table_, first_cluster, size, sink,
                               existing ? nullptr : &read);
      },
      record.size, path, file_progress_, callback_context_, existing ? nullptr : &read.own_bytes);
}

// A deleted entry's chain is released, and a chain found at its first cluster is a live
// file's; an existing file's chain is its own and is followed.
FatRecordReader CFastFatRecovery::ReaderFor(const ScanRecord& record) {
  const uint32_t first_cluster = record.object_id;
  const bool existing = EntryStateOf(record) == EntryState::kExisting;
  return [this, first_cluster, existing](uint64_t size, const FatDataSink& sink) {
    DeletedFileRead read;
    return ReadFatFileData(volume_, &table_, first_cluster, size, sink, existing ? nullptr : &read);
  };
}

int CFastFatRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                  int base_depth) {
  const int result = CheckRecord(record);
  if (result != kSuccess) return result;
  return RecoverFatRecord(
      *this, store_.get(), record, destination, base_depth,
      [this](const ScanRecord& child, const std::string& path) { return CopyFileTo(child, path); });
}

int CFastFatRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                  int* bytes, PreviewProgressCallback callback, void* context) {
  return PreviewFatRecord(record, CheckRecord(record), ReaderFor(record), path, memory, bytes,
                          callback, context);
}

}  // namespace velmora
