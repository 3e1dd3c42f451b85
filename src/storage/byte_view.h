#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string_view>

namespace velmora {

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

// A window on bytes read from a medium. Every read is checked against the window:
// the bool forms report an overrun, the value forms throw std::out_of_range, which
// parsers turn into "not this structure" at their edge.
class ByteView {
 public:
  ByteView() = default;
  ByteView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  ByteView(const uint8_t* data, size_t size) : bytes_(data, size) {}

  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const uint8_t* data() const { return bytes_.data(); }
  std::span<const uint8_t> span() const { return bytes_; }
  bool Holds(size_t offset, size_t length) const {
    return offset <= bytes_.size() && bytes_.size() - offset >= length;
  }

  template <typename T>
  bool Read(size_t offset, T* out) const {
    return ReadLe(bytes_, offset, out);
  }
  template <typename T>
  T Le(size_t offset) const {
    if (!Holds(offset, sizeof(T))) throw std::out_of_range("read past the end of a byte view");
    return LoadLe<T>(bytes_.data() + offset);
  }
  uint8_t U8(size_t offset) const { return Le<uint8_t>(offset); }
  uint16_t U16(size_t offset) const { return Le<uint16_t>(offset); }
  uint32_t U32(size_t offset) const { return Le<uint32_t>(offset); }
  uint64_t U64(size_t offset) const { return Le<uint64_t>(offset); }

  // Whether the bytes at `offset` are exactly `text`; false when they do not fit.
  bool Matches(size_t offset, std::string_view text) const {
    return Holds(offset, text.size()) && std::memcmp(bytes_.data() + offset, text.data(), text.size()) == 0;
  }
  // A sub-view; false when it does not fit.
  bool Slice(size_t offset, size_t length, ByteView* out) const {
    if (!Holds(offset, length)) return false;
    *out = ByteView(bytes_.subspan(offset, length));
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace velmora
