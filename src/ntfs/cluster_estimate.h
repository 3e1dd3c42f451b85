#pragma once

#include <cstdint>

#include "ntfs/mft_record.h"

namespace velmora::ntfs {

// Sectors per cluster to assume for a volume of `sector_count` sectors of
// `bytes_per_sector` bytes when nothing better is known. With d = bytes per
// sector / 512 and the size in MiB:
//   above 7·d and up to bytes-per-sector MiB   -> 1
//   up to 1024·d MiB                           -> 2
//   up to 2048·d MiB                           -> 4
//   above 2048·d MiB, and 7·d MiB or less      -> 8
uint32_t DefaultSectorsPerCluster(uint64_t sector_count, uint32_t bytes_per_sector);

// Sectors per cluster implied by the record's first $DATA attribute: its
// allocated size over the clusters its runs cover. 0 when the record has no
// usable non-resident data (resident, attribute list, runs that do not cover
// the whole attribute, or a ratio that is not a power of two up to 4096).
uint32_t SectorsPerClusterFromRecord(const MftRecord& record, uint32_t bytes_per_sector);

}  // namespace velmora::ntfs
