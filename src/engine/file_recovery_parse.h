#pragma once

#include <cstdint>
#include <string>

#include "engine/scan_record.h"

namespace velmora {

// Progress of Scan: a, b, c are 64-bit counters passed as low/high halves.
using ScanProgressCallback = int (*)(void* context, int percent, int scale, int seconds_remaining,
                                     uint32_t a_low, uint32_t a_high, uint32_t b_low,
                                     uint32_t b_high, uint32_t c_low, uint32_t c_high);
// Progress of RecoverFile for the current file; `error` is 0 while copying.
using FileProgressCallback = int (*)(void* context, int percent, int hundred, int error,
                                     const char* destination_path);
// Progress of GetFilesByType while the log is read.
using ListingProgressCallback = int (*)(void* context, int percent, int zero);
// Progress of PreviewFile; the final call carries 100 and the error.
using PreviewProgressCallback = int (*)(void* context, int percent, int error);

// Every scan engine. A callback returning non-zero stops the operation, which
// returns that value unchanged (kCancelledByUser for a user cancel).
class IFileRecoveryParse {
 public:
  virtual int OpenImage(const std::string& image_path, char16_t drive_tag) = 0;
  virtual int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                            char16_t drive_letter) = 0;
  virtual int SetScanCallback(ScanProgressCallback scan_progress,
                              FileProgressCallback file_progress, void* context, int scale) = 0;
  // Null scans into a new log; a name reopens that existing log without scanning.
  virtual int Scan(const char* log_name) = 0;
  virtual int GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) = 0;
  virtual int CountFiles(const ScanRecord* directory, int depth, int* count) = 0;
  virtual uint64_t GetRecordCount() = 0;
  // Folder path of the record inside the volume, each ancestor followed by "/".
  virtual int GetFullPath(const ScanRecord& record, std::string* path) = 0;
  virtual int RecoverFile(const ScanRecord& record, const std::string& destination,
                          int base_depth) = 0;
  virtual int GetNextFreeRange(uint64_t* position, uint64_t* length) = 0;
  virtual int SetRecoverCallback(ListingProgressCallback callback, void* context) = 0;
  virtual int GetFilesByType(const std::string& filter, ScanRecordList* out) = 0;
  virtual int LoadClusterBitmap() = 0;
  // Into a temporary file (path in/out) when `memory` is null, else into memory
  // (`bytes` in: capacity, out: bytes written).
  virtual int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                          PreviewProgressCallback callback, void* context) = 0;
  virtual ~IFileRecoveryParse() = default;
};

// An engine that can list the files of GetFilesByType in no particular order, for callers
// that only count them: the sort of a large listing is most of its cost.
class IListInAnyOrder {
 public:
  virtual int GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) = 0;

 protected:
  ~IListInAnyOrder() = default;
};

// GetFilesByType; unless `sorted`, GetFilesInAnyOrder where the engine offers it.
inline int ListFilesOf(IFileRecoveryParse* engine, const std::string& filter, ScanRecordList* out,
                       bool sorted) {
  auto* any_order = sorted ? nullptr : dynamic_cast<IListInAnyOrder*>(engine);
  return any_order != nullptr ? any_order->GetFilesInAnyOrder(filter, out)
                              : engine->GetFilesByType(filter, out);
}

// An engine whose scans record the files that still exist on the volume beside the deleted
// ones. Its listings (GetFilesByType, GetChildren, CountFiles) leave the existing ones out
// until they are asked for.
class IListExistingFiles {
 public:
  virtual void SetListExisting(bool on) = 0;

 protected:
  ~IListExistingFiles() = default;
};

// Asks `engine` to list existing files too (or no longer); engines that never record them
// are left as they are.
inline void SetListExistingFiles(IFileRecoveryParse* engine, bool on) {
  if (auto* lister = dynamic_cast<IListExistingFiles*>(engine)) lister->SetListExisting(on);
}

// Metadata a scan could not read and went on without (MFT records, FAT sectors).
struct MetadataReadFaults {
  uint64_t count = 0;  // records or sectors skipped
  std::string notice;  // says what was lost and what that means for the result
};

// An engine whose last scan may have skipped unreadable metadata.
class IMetadataReadFaults {
 public:
  virtual MetadataReadFaults ReadFaults() const = 0;

 protected:
  ~IMetadataReadFaults() = default;
};

inline MetadataReadFaults ReadFaultsOf(const IFileRecoveryParse* engine) {
  const auto* faults = dynamic_cast<const IMetadataReadFaults*>(engine);
  return faults != nullptr ? faults->ReadFaults() : MetadataReadFaults{};
}

// A quick engine that can scan into a folder named by its caller rather than the scan
// index's current one, so that it can run on a thread of its own beside a deep pass.
class IScanIntoFolder {
 public:
  virtual int ScanInto(const std::string& folder) = 0;

 protected:
  ~IScanIntoFolder() = default;
};

}  // namespace velmora
