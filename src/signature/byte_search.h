#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Searches over raw byte ranges; every look is bounded by the given length. Numbers are read
// through ByteView (storage/byte_view.h).
namespace velmora::bytes {

// True when `pattern` lies at `offset` entirely inside [data, data + length).
inline bool At(const uint8_t* data, size_t length, size_t offset, std::string_view pattern) {
  return offset <= length && pattern.size() <= length - offset &&
         std::memcmp(data + offset, pattern.data(), pattern.size()) == 0;
}

constexpr size_t kNotFound = static_cast<size_t>(-1);

// First occurrence of `pattern` starting at or after `from`.
size_t Find(const uint8_t* data, size_t length, std::string_view pattern, size_t from = 0);
// Last occurrence of `pattern` that starts before `before`.
size_t FindLast(const uint8_t* data, size_t length, std::string_view pattern,
                size_t before = kNotFound);

bool AllZero(const uint8_t* data, size_t length);

}  // namespace velmora::bytes
