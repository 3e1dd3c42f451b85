#include "signature/byte_search.h"

#include <string.h>

#include <algorithm>
#include <cstring>

namespace velmora::bytes {

size_t Find(const uint8_t* data, size_t length, std::string_view pattern, size_t from) {
  if (pattern.empty() || from >= length || pattern.size() > length - from) return kNotFound;
  // memchr skips to the pattern's first byte many bytes a step where memmem looks at every
  // byte; the rest is compared at each hit. Data full of that byte (more than one false hit
  // in 64 bytes) is left to memmem from there on, so no input costs much more than it would.
  const uint8_t first = static_cast<uint8_t>(pattern[0]);
  const size_t last_start = length - pattern.size();  // the last place a match can start
  size_t at = from;
  size_t false_hits = 0;
  while (at <= last_start) {
    const void* hit = ::memchr(data + at, first, last_start - at + 1);
    if (hit == nullptr) return kNotFound;
    const size_t candidate = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + candidate + 1, pattern.data() + 1, pattern.size() - 1) == 0) {
      return candidate;
    }
    at = candidate + 1;
    if (++false_hits > 16 + (at - from) / 64) {
      const void* found = ::memmem(data + at, length - at, pattern.data(), pattern.size());
      return found == nullptr ? kNotFound
                              : static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    }
  }
  return kNotFound;
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
