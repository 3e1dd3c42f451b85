#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// CRC-32 as GPT headers and PNG/ZIP-style formats use it (zlib's).
uint32_t Crc32(const uint8_t* data, size_t length);

}  // namespace velmora
