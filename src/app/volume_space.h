#pragma once

#include <cstdint>

#include "storage/partition_entry.h"

namespace velmora::app {

// Free bytes of an NTFS or FAT volume counted from its own allocation records ($Bitmap, or
// the free entries of the FAT): an unmounted volume has no file system driver to ask. False
// when the volume is of another kind or its records cannot be read.
bool CountVolumeFreeBytes(int disk_number, uint64_t start_sector, uint64_t sector_count,
                          uint64_t* free_bytes);

// Fills the label (and the file system, when the probe found none) of a volume row from the
// volume's own records: an NTFS or FAT volume whose first sector is damaged is read through
// its backup boot sector, as the quick scan reads it (a whole-disk row then becomes the
// volume's). True when it found an NTFS or FAT volume.
bool FillVolumeLabel(PartitionEntry* entry);

// Fills free and used of a volume row that no mount reports on. True when it did.
bool FillUnmountedFreeSpace(PartitionEntry* entry);

}  // namespace velmora::app
