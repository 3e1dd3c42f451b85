#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/sector_reader.h"

namespace velmora {

// Whether the first sector of a file agrees with its extension, by the signature
// catalogue (which may read on from `absolute_sector` for structured formats).
// True when the extension has no known signature, so unknown types are never hidden.
bool FatContentMatchesExtension(const uint8_t* data, size_t length, std::string_view extension,
                                SectorReader* source, uint32_t sector_size,
                                uint64_t absolute_sector);

}  // namespace velmora
