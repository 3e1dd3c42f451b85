#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "signature/carve_context.h"

namespace velmora {

enum class BoundaryMode;

// True (1) when a sector holds a boot sector or passes one of the context's
// structure tests (NTFS records, FAT directory sectors).
// A boot sector of FAT, NTFS or exFAT (jump, then a known OEM name).
bool IsBootSector(const uint8_t* sector, size_t length);

int IsFileSystemStructure(const CarveContext& context, const uint8_t* sector, int32_t sector_size);
int IsFileSystemStructure(const std::vector<StructureTest>& tests, const uint8_t* sector,
                          int32_t sector_size);

// Looks at the whole sectors of `data` in order, advancing the cursor by one for each.
// Returns 1 at the first sector that starts a new file or a file-system structure and
// adds (its index × sector size) to *length; 0 when none does.
int FindNextBoundary(CarveContext& context, size_t byte_count, const uint8_t* data,
                     uint64_t* length, BoundaryMode mode);
int FindNextBoundary(CarveContext& context, size_t byte_count, const uint8_t* data,
                     uint64_t* length);

}  // namespace velmora
