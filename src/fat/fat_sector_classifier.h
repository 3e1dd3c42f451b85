#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// The directory-sector test of the FAT deep scan: IsDirectorySector, except
// that a volume-label entry whose creation and last-access stamps are empty
// always passes. Windows writes only the last-write stamp into the label entry;
// a date-window rule on labels would refuse every root directory it labelled.
bool IsDeepDirectorySector(const uint8_t* sector, size_t length);

}  // namespace velmora
