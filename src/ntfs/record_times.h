#pragma once

#include "engine/scan_log_store.h"
#include "engine/scan_record.h"
#include "ntfs/mft_record.h"

namespace velmora::ntfs {

// Puts the times a file is shown with into `record` and returns what the record has no
// room for: the MFT-changed time and the $FILE_NAME set, for the log's "_Times" file.
RecordTimesEntry ApplyFileTimes(const MftRecord& mft, const FileNameAttribute& name,
                                ScanRecord* record);

}  // namespace velmora::ntfs
