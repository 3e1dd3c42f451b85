#include "signature/byte_search.h"

#include <algorithm>

namespace velmora::bytes {

size_t Find(const uint8_t* data, size_t length, std::string_view pattern, size_t from) {
  if (pattern.empty() || from >= length || pattern.size() > length - from) return kNotFound;
  const auto* first = reinterpret_cast<const uint8_t*>(pattern.data());
  const uint8_t* end = data + length;
  const uint8_t* hit = std::search(data + from, end, first, first + pattern.size());
  return hit == end ? kNotFound : static_cast<size_t>(hit - data);
}

size_t FindLast(const uint8_t* data, size_t length, std::string_view pattern, size_t before) {
  if (pattern.empty() || pattern.size() > length) return kNotFound;
  size_t start = std::min(before == kNotFound ? length : before, length - pattern.size() + 1);
  while (start > 0) {
    --start;
    if (std::memcmp(data + start, pattern.data(), pattern.size()) == 0) return start;
  }
  return kNotFound;
}

bool AllZero(const uint8_t* data, size_t length) {
  return std::all_of(data, data + length, [](uint8_t b) { return b == 0; });
}

}  // namespace velmora::bytes
