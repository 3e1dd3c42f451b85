#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "storage/sector_reader.h"

namespace velmora::ntfs {

// 1 when the first bytes of a file agree with its extension or no test applies,
// 0 when they contradict it. `start_sector` is where the data starts on `source`; `source`
// is null when the file's bytes are not stored as such on the disk (resident, compressed).
uint32_t ContentMatchesExtension(std::span<const uint8_t> sample, std::string_view extension,
                                 SectorReader* source, uint32_t sector_size, uint64_t start_sector);

}  // namespace velmora::ntfs
