#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Little helpers over raw byte ranges. Every read is checked against the given length.
namespace velmora::bytes {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

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
