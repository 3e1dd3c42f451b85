#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/file_recovery_parse.h"
#include "storage/sector_reader.h"

namespace velmora {

// Sector where a metadata engine's file begins on the source, or false when it
// cannot be told (an NTFS record without data runs, a directory).
using DataSectorOf = std::function<bool(const ScanRecord& record, uint64_t* sector)>;

// The listing of the combined deep scan: the metadata engines' files once each (a
// file the quick engine and a deep engine both found is listed under its real
// folder rather than a lost one), then carved files, except a carved file that
// starts where a listed file's data starts: it is that file without its name,
// unless the named file failed its content check and the carved one is of another
// kind. A carved "jpg" at the start of a "thm" thumbnail counts as the same file.
int MergeResultsByType(const std::string& filter, IFileRecoveryParse* quick,
                       IFileRecoveryParse* fat_deep, IFileRecoveryParse* ntfs_deep,
                       IFileRecoveryParse* signature, const DataSectorOf& data_sector_of,
                       ScanRecordList* out);

// First data sector of a record made by an NTFS or FAT engine (kinds 0-3), read
// from the record itself (FAT) or from its MFT record on `source` (NTFS).
bool MetadataRecordDataSector(const ScanRecord& record, SectorReader* source, int32_t sector_size,
                              uint64_t* sector);

}  // namespace velmora
