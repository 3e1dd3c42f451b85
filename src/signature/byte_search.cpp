#include "signature/byte_search.h"

#include <string.h>

#include <algorithm>

namespace velmora::bytes {

size_t Find(const uint8_t* data, size_t length, std::string_view pattern, size_t from) {
  if (pattern.empty() || from >= length || pattern.size() > length - from) return kNotFound;
  const void* hit = ::memmem(data + from, length - from, pattern.data(), pattern.size());
  return hit == nullptr ? kNotFound : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
}

size_t FindLast(const uint8_t* data, size_t length, std::string_view pattern, size_t before) {
  if (pattern.empty() || pattern.size() > length) return kNotFound;
  // Candidate starts lie in [0, limit); memrchr finds the first byte, memcmp checks the rest.
  size_t limit = std::min(before == kNotFound ? length : before, length - pattern.size() + 1);
  const int first = static_cast<uint8_t>(pattern[0]);
  while (limit > 0) {
    const void* hit = ::memrchr(data, first, limit);
    if (hit == nullptr) return kNotFound;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + at + 1, pattern.data() + 1, pattern.size() - 1) == 0) return at;
    limit = at;
  }
  return kNotFound;
}

bool AllZero(const uint8_t* data, size_t length) {
  // Zero first byte, and every byte equal to the one before it.
  return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

}  // namespace velmora::bytes
