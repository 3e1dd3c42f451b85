#pragma once

#include <string>

#include "engine/file_recovery_parse.h"
#include "engine/scan_record.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/ntfs_volume.h"

namespace velmora::ntfs {

// The data a ScanRecord of an NTFS engine stands for: the MFT record at its location is
// read again and its unnamed $DATA (or, for a "name:stream" record, that named stream)
// collected. `object_id` is the record number extension records must point back to.
int LoadRecordStream(NtfsVolume& volume, const ScanRecord& record, NtfsStream* stream);

// Copies that data, up to the record's size, into a new file at `path` (an existing file
// is never replaced: the copy then gets a "(n)" name). Progress goes to `progress` as the
// file progress callback describes; its non-zero result stops the copy and is returned.
// A partly written file stays where it is.
int ExtractRecordToFile(NtfsVolume& volume, const ScanRecord& record, const std::string& path,
                        FileProgressCallback progress, void* context);

}  // namespace velmora::ntfs
