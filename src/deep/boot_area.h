#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "deep/boot_sector_classifier.h"
#include "storage/byte_source.h"

namespace velmora {

// The boot sector a quick scan of a region goes by.
struct BootSectorChoice {
  FileSystemKind kind = FileSystemKind::kOther;
  uint8_t sector[512] = {};
  bool backup = false;  // the first sector is damaged; this is the file system's copy
  uint64_t offset = 0;  // where it lies, in bytes from the region start
};

// Reads `length` bytes of boot area from `offset`; where the read fails, sector by sector,
// with zeros for the sectors that cannot be read, so that a backup boot sector behind an
// unreadable first one is still found. False when nothing could be read or the source ends
// first; `first_unreadable` tells that the boot sector itself could not be read.
bool ReadBootAreaAround(ByteSource& source, uint64_t offset, size_t length, uint8_t* area,
                        bool* first_unreadable);

// The kind of the region's first 16 KiB (`area`), or, when that is no file system's, the
// backup copy of a damaged boot sector: FAT32's in sector 6, NTFS's in the region's last
// sector. `length` is the region's size in bytes.
BootSectorChoice ChooseBootSector(ByteSource& source, uint64_t region_offset, uint64_t length,
                                  const uint8_t* area16k);

// The volume label: for FAT the root folder's label entry, else the boot sector's; for
// NTFS the name in $Volume. "" when there is none.
std::string ReadVolumeLabel(const std::shared_ptr<ByteSource>& source, uint64_t region_offset,
                            uint64_t length, const BootSectorChoice& boot);

}  // namespace velmora
