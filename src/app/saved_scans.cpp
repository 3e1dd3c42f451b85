#include "app/saved_scans.h"

#include <sys/stat.h>

#include <algorithm>

#include "deep/engine_factory.h"
#include "engine/record_text.h"
#include "engine/source_fingerprint.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"

namespace velmora::app {

namespace {

std::string ImagePathOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.image_path[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.image_path, length));
}

bool SameSource(const ScanIndexRecord& record, const ScanSource& source) {
  if (source.IsImage()) return ImagePathOf(record) == source.image_path;
  return record.image_path[0] == 0 && record.disk_number == source.entry->disk &&
         record.first_sector == source.entry->start && record.sector_count == source.entry->length;
}

bool FolderExists(const std::string& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t ImageWriteTime(const std::string& path) {
  uint64_t write_time = 0;
  platform::FileLastWriteTime(path, &write_time);
  return write_time;
}

std::string FingerprintOf(const ScanSource& source) {
  if (source.IsImage()) return FingerprintImage(source.image_path);
  return FingerprintPartition(source.entry->disk, source.entry->start, source.entry->length);
}

bool QuickResultFor(const ScanSource& source, ScanIndexRecord* out) {
  ScanIndex& index = ScanIndex::Instance();
  const auto& records = index.Records();
  const auto found = std::find_if(records.begin(), records.end(), [&](const ScanIndexRecord& r) {
    return r.reserved == kQuickResultMark && SameSource(r, source);
  });
  if (found == records.end()) return false;
  const ScanIndexRecord record = *found;
  // Another medium can sit at the same place, so the contents are compared as well.
  const std::string fingerprint = FingerprintOf(source);
  const bool unchanged =
      (!source.IsImage() || record.image_write_time == ImageWriteTime(source.image_path)) &&
      !fingerprint.empty() && FolderFingerprint(FolderOf(record)) == fingerprint;
  if (!unchanged || !FolderExists(FolderOf(record))) {
    index.Remove(FolderOf(record));  // the source changed since, or the folder is gone
    index.Save();
    return false;
  }
  if (out) *out = record;
  return true;
}

}  // namespace

std::string FolderOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.scan_folder[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.scan_folder, length));
}

bool SavedResultFor(const ScanSource& source, ScanMode mode, ScanIndexRecord* record) {
  if (mode == ScanMode::kQuick) return QuickResultFor(source, record);
  ScanIndex& index = ScanIndex::Instance();
  if (source.IsImage()) return index.FindForImage(source.image_path, record);
  const PartitionEntry& entry = *source.entry;
  // No free-space key: the deep engine keys its records without one as well.
  return index.FindForPartition(entry.disk, entry.start, entry.length, "", record);
}

int DiscardSavedResult(const ScanSource& source, ScanMode mode) {
  ScanIndexRecord record{};
  if (!SavedResultFor(source, mode, &record)) return kSuccess;
  ScanIndex& index = ScanIndex::Instance();
  index.Remove(FolderOf(record));
  return index.Save();
}

int RememberQuickResult(const ScanSource& source, const std::string& folder) {
  ScanIndexRecord record{};
  const std::u16string folder_units = Utf8ToUtf16(folder);
  if (folder_units.size() > 259) return kErrFilenameTooLong;
  std::copy(folder_units.begin(), folder_units.end(), record.scan_folder);
  if (source.IsImage()) {
    const std::u16string path_units = Utf8ToUtf16(source.image_path);
    if (path_units.size() > 259) return kErrFilenameTooLong;
    std::copy(path_units.begin(), path_units.end(), record.image_path);
    record.image_write_time = ImageWriteTime(source.image_path);
  } else {
    record.disk_number = source.entry->disk;
    record.first_sector = source.entry->start;
    record.sector_count = source.entry->length;
  }
  KeepFolderFingerprint(folder, FingerprintOf(source));
  return ScanIndex::Instance().PutQuickResult(record);
}

}  // namespace velmora::app
