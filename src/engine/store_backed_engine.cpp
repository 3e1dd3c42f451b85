#include "engine/store_backed_engine.h"

#include "storage/error_codes.h"

namespace velmora {

namespace {

bool BadFolder(const ScanRecord* directory, int depth) {
  return depth < 0 || (directory == nullptr && depth != 0);
}

}  // namespace

int StoreBackedEngine::SetScanCallback(ScanProgressCallback scan_progress,
                                       FileProgressCallback file_progress, void* context,
                                       int scale) {
  scan_progress_ = scan_progress;
  file_progress_ = file_progress;
  callback_context_ = context;
  scale_ = scale;
  return kSuccess;
}

bool StoreBackedEngine::ExtraTimesOf(const ScanRecord& record, RecordTimesEntry* out) {
  return store_ != nullptr && store_->FindTimes(record.record_index, out);
}

int StoreBackedEngine::SetRecoverCallback(ListingProgressCallback callback, void* context) {
  listing_progress_ = callback;
  listing_context_ = context;
  if (store_) store_->SetListingCallback(callback, context);
  return kSuccess;
}

RelationKey StoreBackedEngine::KeyFor(const ScanRecord* directory, int depth) const {
  if (directory == nullptr) return RelationKey{0, 0};
  return RelationKey{directory->object_id, static_cast<uint32_t>(depth)};
}

int StoreBackedEngine::GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) {
  if (out == nullptr || BadFolder(directory, depth)) return kErrInvalidParameter;
  if (!store_) return kSuccess;
  const int flushed = PrepareStore();
  if (flushed != kSuccess) return flushed;
  return store_->ListChildren(KeyFor(directory, depth), out);
}

int StoreBackedEngine::CountFiles(const ScanRecord* directory, int depth, int* count) {
  if (count == nullptr || BadFolder(directory, depth)) return kErrInvalidParameter;
  *count = 0;
  if (!store_) return kSuccess;
  const int flushed = PrepareStore();
  if (flushed != kSuccess) return flushed;
  return store_->CountFilesUnder(KeyFor(directory, depth), count);
}

uint64_t StoreBackedEngine::GetRecordCount() { return store_ ? store_->GetRecordCount() : 0; }

int StoreBackedEngine::GetFullPath(const ScanRecord& record, std::string* path) {
  if (path == nullptr) return kErrInvalidParameter;
  path->clear();
  if (!store_) return kSuccess;
  const int flushed = store_->Flush();
  if (flushed != kSuccess) return flushed;
  return store_->FullPath(record, path);
}

int StoreBackedEngine::GetFilesByType(const std::string& filter, ScanRecordList* out) {
  return ListFiles(filter, out, true);
}

int StoreBackedEngine::GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) {
  return ListFiles(filter, out, false);
}

int StoreBackedEngine::ListFiles(const std::string& filter, ScanRecordList* out, bool sorted) {
  if (out == nullptr) return kErrInvalidParameter;
  if (!store_) return kSuccess;
  const int flushed = PrepareStore();
  if (flushed != kSuccess) return flushed;
  return store_->ListByType(filter, out, sorted);
}

void StoreBackedEngine::SetListExisting(bool on) {
  list_existing_ = on;
  if (store_) store_->SetListExisting(on);
}

int StoreBackedEngine::PrepareStore() {
  store_->SetListingCallback(listing_progress_, listing_context_);
  store_->SetListExisting(list_existing_);
  return store_->Flush();
}

}  // namespace velmora
