#pragma once

#include <cstdint>

namespace velmora {

// Pure tests of boot-area bytes.
bool IsNtfsBootSector(const uint8_t* sector512);
bool IsFatBootSector(const uint8_t* sector512);
bool IsExtSuperblock(const uint8_t* superblock1024);
bool IsBitLockerBootSector(const uint8_t* sector512);

enum class FileSystemKind : int { kFat = 2, kNtfs = 3, kExt = 4, kOther = 5 };

// Classifies the first 16 KiB of a region: NTFS, then FAT, then ext at 1024.
FileSystemKind ClassifyBootArea(const uint8_t* area16k);
const char* FileSystemKindName(FileSystemKind kind);

}  // namespace velmora
