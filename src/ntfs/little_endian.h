#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace velmora::ntfs {

// Bounds-checked little-endian reads from on-disk bytes. A read that would pass
// the end yields false and leaves `out` untouched.
template <typename T>
bool ReadLe(std::span<const uint8_t> bytes, size_t offset, T* out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  *out = value;
  return true;
}

// Unchecked read for offsets already validated by the caller.
template <typename T>
T LoadLe(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

inline bool SliceOf(std::span<const uint8_t> bytes, size_t offset, size_t length,
                    std::span<const uint8_t>* out) {
  if (offset > bytes.size() || bytes.size() - offset < length) return false;
  *out = bytes.subspan(offset, length);
  return true;
}

}  // namespace velmora::ntfs
