#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora {

// Whether the first bytes of a file's first cluster agree with its extension.
// True when the extension has no known header, so unknown types are never hidden.
bool FatContentMatchesExtension(const uint8_t* data, size_t length, std::string_view extension);

}  // namespace velmora
