#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

// The one way the format walkers look at bytes: a pointer and a length, every read checked.
namespace velmora::formats {

class ByteView {
 public:
  ByteView() = default;
  ByteView(const uint8_t* data, size_t size) : data_(data), size_(data == nullptr ? 0 : size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  bool Has(size_t at, size_t count) const { return at <= size_ && count <= size_ - at; }
  bool Matches(size_t at, std::string_view pattern) const {
    return Has(at, pattern.size()) && std::memcmp(data_ + at, pattern.data(), pattern.size()) == 0;
  }
  // The bytes [at, at + count); empty when they do not lie inside.
  ByteView Sub(size_t at, size_t count) const {
    return Has(at, count) ? ByteView(data_ + at, count) : ByteView();
  }

  std::optional<uint8_t> U8(size_t at) const {
    if (!Has(at, 1)) return std::nullopt;
    return data_[at];
  }
  std::optional<uint16_t> Le16(size_t at) const { return Read<uint16_t>(at, false); }
  std::optional<uint32_t> Le32(size_t at) const { return Read<uint32_t>(at, false); }
  std::optional<uint64_t> Le64(size_t at) const { return Read<uint64_t>(at, false); }
  std::optional<uint16_t> Be16(size_t at) const { return Read<uint16_t>(at, true); }
  std::optional<uint32_t> Be24(size_t at) const {
    if (!Has(at, 3)) return std::nullopt;
    return (uint32_t{data_[at]} << 16) | (uint32_t{data_[at + 1]} << 8) | data_[at + 2];
  }
  std::optional<uint32_t> Be32(size_t at) const { return Read<uint32_t>(at, true); }
  std::optional<uint64_t> Be64(size_t at) const { return Read<uint64_t>(at, true); }
  // 16 or 32 bits in the byte order a TIFF header names.
  std::optional<uint32_t> U16(size_t at, bool big_endian) const {
    return Read<uint16_t>(at, big_endian);
  }
  std::optional<uint32_t> U32(size_t at, bool big_endian) const {
    return Read<uint32_t>(at, big_endian);
  }

 private:
  template <typename T>
  std::optional<T> Read(size_t at, bool big_endian) const {
    if (!Has(at, sizeof(T))) return std::nullopt;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      const size_t index = big_endian ? i : sizeof(T) - 1 - i;
      value = static_cast<T>((value << 8) | data_[at + index]);
    }
    return value;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace velmora::formats
