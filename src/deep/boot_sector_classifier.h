#pragma once

#include <cstdint>

namespace velmora {

// The ext2/3/4 superblock test (1024 bytes); the NTFS and FAT boot-sector tests
// belong to their modules.
bool IsExtSuperblock(const uint8_t* superblock1024);

enum class FileSystemKind : int { kFat = 2, kNtfs = 3, kExt = 4, kOther = 5 };

// Classifies the first 16 KiB of a region: NTFS, then FAT, then ext at 1024.
FileSystemKind ClassifyBootArea(const uint8_t* area16k);
const char* FileSystemKindName(FileSystemKind kind);

}  // namespace velmora
