#include "ntfs/record_times.h"

namespace velmora::ntfs {

RecordTimesEntry ApplyFileTimes(const MftRecord& mft, const FileNameAttribute& name,
                                ScanRecord* record) {
  const FileTimes times = TimesOf(mft, name);
  record->created = times.shown.created;
  record->last_access = times.shown.accessed;
  record->last_write = times.shown.modified;
  RecordTimesEntry entry;
  entry.flags = kTimesHasNameSet | (times.from_standard_information ? 0u : kTimesFromFileName);
  entry.changed = times.shown.mft_changed;
  entry.name_created = name.created;
  entry.name_modified = name.modified;
  entry.name_changed = name.mft_changed;
  entry.name_accessed = name.accessed;
  return entry;
}

}  // namespace velmora::ntfs
