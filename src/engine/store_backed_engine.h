#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/file_recovery_parse.h"
#include "engine/scan_log_store.h"

namespace velmora {

// The operations every engine answers from its scan log, written once so that all
// engines give the same answers: no store yet is an empty result (0), a null folder
// with a non-zero depth is 87, and every query flushes the store first.
class StoreBackedEngine : public IFileRecoveryParse,
                          public IListInAnyOrder,
                          public IRecordTimes,
                          public IListExistingFiles {
 public:
  int SetScanCallback(ScanProgressCallback scan_progress, FileProgressCallback file_progress,
                      void* context, int scale) override;
  int SetRecoverCallback(ListingProgressCallback callback, void* context) override;
  int GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) override;
  int CountFiles(const ScanRecord* directory, int depth, int* count) override;
  uint64_t GetRecordCount() override;
  int GetFullPath(const ScanRecord& record, std::string* path) override;
  int GetFilesByType(const std::string& filter, ScanRecordList* out) override;
  int GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) override;
  bool ExtraTimesOf(const ScanRecord& record, RecordTimesEntry* out) override;
  void SetListExisting(bool on) override;

 protected:
  // The relation key of a folder; a null folder stands for the engine's root.
  virtual RelationKey KeyFor(const ScanRecord* directory, int depth) const;
  int ListFiles(const std::string& filter, ScanRecordList* out, bool sorted);
  // Flushes the store and applies the listing settings to it (it may have been opened after
  // they were set).
  int PrepareStore();

  std::unique_ptr<ScanLogStore> store_;
  ScanProgressCallback scan_progress_ = nullptr;
  FileProgressCallback file_progress_ = nullptr;
  void* callback_context_ = nullptr;
  int scale_ = 100;
  ListingProgressCallback listing_progress_ = nullptr;
  void* listing_context_ = nullptr;
  bool list_existing_ = false;
};

}  // namespace velmora
