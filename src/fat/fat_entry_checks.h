#pragma once

#include <cstddef>
#include <cstdint>

#include "fat/fat_entry.h"

// Content tests on raw FAT directory entries and sectors. Pure functions: they look
// only at the bytes handed in and never read past them.
namespace velmora {

// FILETIME of a FAT date/time (hundredths as in the creation-time field); 0 when the
// date or time is not valid. No time-zone shift is applied.
uint64_t FatDateTimeToFiletime(uint16_t date, uint16_t time, uint8_t hundredths);

// `entry` points at a 32-byte entry; `next` at the following entry or nullptr when the
// buffer ends there.
bool IsPlausibleDirectoryEntry(const uint8_t* entry, const uint8_t* next);

// Directory-sector test on a buffer of one sector. A directory's first sector (the
// "." and ".." pair) is told apart by IsDirectoryStartSector instead.
bool IsDirectorySector(const uint8_t* sector, size_t length);

// True when the buffer begins with a matching "." and ".." pair of directory entries.
bool IsDirectoryStartSector(const uint8_t* sector, size_t length);
// Either kind of directory sector; ends a carved file.
bool IsFatStructureSector(const uint8_t* sector, size_t length);

// Checksum of an 8.3 name as stored in its long-name entries.
uint8_t ShortNameChecksum(const uint8_t* name11);

}  // namespace velmora
