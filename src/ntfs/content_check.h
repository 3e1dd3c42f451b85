#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "storage/sector_reader.h"

namespace velmora::ntfs {

// The content check a record keeps (JudgeContent): bit 0 set when the first bytes of a file
// agree with its extension or no test applies, clear when they contradict it; the content's
// category above it where the content decides the file's category. `start_sector` is where the data
// starts on `source`; `source` is null when the file's bytes are not stored as such on the disk
// (resident, compressed).
uint32_t ContentMatchesExtension(std::span<const uint8_t> sample, std::string_view extension,
                                 SectorReader* source, uint32_t sector_size, uint64_t start_sector);

}  // namespace velmora::ntfs
