#include "storage/checksum.h"

#include <zlib.h>

#include <algorithm>

namespace velmora {

uint32_t Crc32(const uint8_t* data, size_t length) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (length > 0) {
    const auto chunk = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
    crc = crc32(crc, data, chunk);
    data += chunk;
    length -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace velmora
