// Copying out and previewing files found by the deep NTFS scan: the record is
// read again where it was found, with the cluster size and volume start the
// scan stored in it.
#include <cstring>

#include "ntfs/deep_data_copy.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "ntfs/folder_tree_copy.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/stream_output.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

VolumeWindow CProfessionalNtfsRecovery::WindowOf(const ScanRecord& record) {
  const bool usable = record.cluster_size > 0 && record.cluster_size % sector_bytes_ == 0;
  return VolumeWindow{&reader_, record.partition_start, sector_bytes_,
                      usable ? static_cast<uint32_t>(record.cluster_size) : 0};
}

// The record is read again where the scan found it; its data may continue in
// extension records of the same MFT.
int CProfessionalNtfsRecovery::LoadRecordStream(const ScanRecord& record, NtfsStream* stream) {
  if (!reader_.IsOpen()) return kErrInvalidParameter;
  std::vector<uint8_t> buffer;
  const int rc = ReadRecordAtSector(record.location, &buffer);
  if (rc != kSuccess) return rc;
  MftRecord parsed;
  const MftRecordVerdict verdict = LoadMftRecord(buffer, &parsed);
  if (verdict == MftRecordVerdict::kNotRecord || verdict == MftRecordVerdict::kBadFixup) {
    return kNtfsNotRecord;
  }
  const MftRecordHeader& header = parsed.header;
  if (header.first_attribute >= record_bytes_ || header.bytes_in_use > record_bytes_ ||
      header.bytes_in_use < header.first_attribute) {
    return kErrInvalidParameter;
  }
  uint32_t number = 0;
  std::memcpy(&number, buffer.data() + 0x2C, sizeof(number));
  MftLayout layout;
  if (!LayoutForRecord(number, record.location, &layout)) layout = MftLayout{};
  const VolumeWindow volume = WindowOf(record);
  if (volume.cluster_bytes == 0) {
    // Without a cluster size only resident data can be read.
    const MftAttribute* data = parsed.Find(kAttrData, true);
    if (!data) return kNtfsAttributeMissing;
    if (data->non_resident) return kErrInvalidParameter;
  }
  const int loaded = LoadDeepStream(parsed, number, layout, volume, stream);
  if (loaded != kSuccess) return loaded;
  if (stream->resident && stream->resident_data.size() >= record_bytes_)
    return kErrInvalidParameter;
  return kSuccess;
}

int CProfessionalNtfsRecovery::GetDataRuns(const ScanRecord& record, std::vector<DataRun>* runs) {
  runs->clear();
  NtfsStream stream;
  const int rc = LoadRecordStream(record, &stream);
  if (rc != kSuccess) return rc;
  if (!stream.resident) *runs = std::move(stream.runs);
  return kSuccess;
}

bool CProfessionalNtfsRecovery::DataStartSector(const ScanRecord& record, uint64_t* sector) {
  std::vector<DataRun> runs;
  if (GetDataRuns(record, &runs) != kSuccess || runs.empty() ||
      runs.front().kind != RunKind::kAllocated) {
    return false;
  }
  *sector = record.partition_start +
            runs.front().lcn * static_cast<uint64_t>(record.cluster_size) / sector_bytes_;
  return true;
}

int CProfessionalNtfsRecovery::RecoverOne(const ScanRecord& record, const std::string& path) {
  return ExtractStreamToFile([&](NtfsStream* stream) { return LoadRecordStream(record, stream); },
                             CopierFor(record), record.size, path, file_progress_,
                             callback_context_);
}

StreamCopier CProfessionalNtfsRecovery::CopierFor(const ScanRecord& record) {
  return
      [volume = WindowOf(record)](const NtfsStream& stream, uint64_t size, const StreamSink& sink) {
        return CopyDeepStream(volume, stream, size, sink);
      };
}

int CProfessionalNtfsRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                           int base_depth) {
  if (!reader_.IsOpen()) return kErrInvalidParameter;
  return RecoverRecordTo(
      store_.get(), record, destination, base_depth, static_cast<int>(kMaxParentDepth),
      [this](const ScanRecord& child, const std::string& path) { return RecoverOne(child, path); });
}

int CProfessionalNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                           uint8_t* memory, int* bytes,
                                           PreviewProgressCallback callback, void* context) {
  return PreviewRecordStream(
      reader_.IsOpen(), record,
      [this, &record](NtfsStream* stream) { return LoadRecordStream(record, stream); },
      CopierFor(record), path, memory, bytes, callback, context);
}

}  // namespace velmora
