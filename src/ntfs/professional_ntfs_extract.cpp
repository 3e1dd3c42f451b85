// Copying out and previewing files found by the deep NTFS scan: the record is
// read again where it was found, with the cluster size and volume start the
// scan stored in it.
#include <algorithm>
#include <cstring>

#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "ntfs/deep_data_copy.h"
#include "ntfs/folder_tree_copy.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/professional_ntfs_recovery.h"
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
  if (stream->resident && stream->resident_data.size() >= record_bytes_) return kErrInvalidParameter;
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
  return ExtractStreamToFile(
      [&](NtfsStream* stream) { return LoadRecordStream(record, stream); }, CopierFor(record),
      record.size, path, file_progress_, callback_context_);
}

StreamCopier CProfessionalNtfsRecovery::CopierFor(const ScanRecord& record) {
  return [volume = WindowOf(record)](const NtfsStream& stream, uint64_t size,
                                     const StreamSink& sink) {
    return CopyDeepStream(volume, stream, size, sink);
  };
}

int CProfessionalNtfsRecovery::RecoverFile(const ScanRecord& record,
                                           const std::string& destination, int base_depth) {
  if (!reader_.IsOpen() || destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const int rc = CreateFolderTree(ParentFolderOf(destination));
    if (rc != kSuccess) return rc;
    return RecoverOne(record, destination);
  }
  if (!store_) return kErrInvalidParameter;
  std::string folder = destination;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const int rc = CreateFolderTree(folder);
  if (rc != kSuccess) return rc;
  // The folder's level in the rebuilt tree: separators in the destination minus the base.
  const int level = static_cast<int>(std::count(folder.begin(), folder.end(), '/')) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return RecoverTree(record, folder, level);
}

int CProfessionalNtfsRecovery::RecoverTree(const ScanRecord& top, const std::string& destination,
                                           int level) {
  return CopyFolderTree(*store_, top, destination, level, static_cast<int>(kMaxParentDepth),
                        [this](const ScanRecord& child, const std::string& path) {
                          return RecoverOne(child, path);
                        });
}

int CProfessionalNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                           uint8_t* memory, int* bytes,
                                           PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback) callback(context, 100, result);
    return result;
  };
  if (!reader_.IsOpen() || record.is_directory || (!memory && !path) ||
      (memory && (!bytes || *bytes < 0))) {
    if (path) path->clear();
    return finish(kErrInvalidParameter);
  }
  NtfsStream stream;
  int rc = LoadRecordStream(record, &stream);
  if (rc != kSuccess) {
    if (path) path->clear();
    return finish(rc);
  }
  uint64_t size = std::min(uint64_t{record.size}, stream.Size());

  int fd = -1;
  std::string target;
  if (!memory) {
    const std::string folder = ScanLogDirectory();
    rc = CreateFolderTree(folder);
    if (rc != kSuccess) {
      path->clear();
      return finish(rc);
    }
    rc = CreatePreviewFile(folder, record, &fd, &target);
    if (rc != kSuccess) {
      path->clear();
      return finish(rc);
    }
  } else {
    size = std::min<uint64_t>(size, static_cast<uint64_t>(*bytes));
  }

  return DeliverPreview(stream, size, CopierFor(record), fd, target, path, memory, bytes, callback,
                        context);
}

}  // namespace velmora
