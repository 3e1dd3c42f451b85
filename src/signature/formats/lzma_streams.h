#pragma once

#include <cstdint>
#include <optional>

#include "signature/carve_context.h"

namespace velmora::formats {

// Where an xz or lzip stream starting at the candidate file's first byte ends, found by
// decoding it; nothing when it does not decode to its end within `cap`.
std::optional<uint64_t> XzStreamLength(const CarveContext& context, uint64_t cap);
std::optional<uint64_t> LzipStreamLength(const CarveContext& context, uint64_t cap);

}  // namespace velmora::formats
