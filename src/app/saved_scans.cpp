#include "app/saved_scans.h"

#include "engine/record_text.h"
#include "storage/error_codes.h"

namespace velmora::app {

bool SavedScanFor(const ScanSource& source, ScanIndexRecord* record) {
  ScanIndex& index = ScanIndex::Instance();
  if (source.IsImage()) return index.FindForImage(source.image_path, record);
  const PartitionEntry& entry = *source.entry;
  // No free-space key: the deep engine keys its records without one as well.
  return index.FindForPartition(entry.disk, entry.start, entry.length, "", record);
}

std::string FolderOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.scan_folder[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.scan_folder, length));
}

int DiscardSavedScan(const ScanSource& source) {
  ScanIndexRecord record{};
  if (!SavedScanFor(source, &record)) return kSuccess;
  ScanIndex& index = ScanIndex::Instance();
  index.Remove(FolderOf(record));
  return index.Save();
}

}  // namespace velmora::app
