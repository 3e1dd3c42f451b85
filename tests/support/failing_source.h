#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "storage/byte_source.h"

namespace velmora::testing {

// Bytes in memory whose chosen 512-byte sectors fail as a dying disk's do: a read delivers
// up to the first bad sector it touches and fails there, alone or as part of a larger read.
// Registered with NamedSource, whole engines and workflows run over it without FUSE.
std::shared_ptr<ByteSource> MakeFailingSectorsSource(std::vector<uint8_t> bytes,
                                                     std::set<uint64_t> bad_sectors);

}  // namespace velmora::testing
