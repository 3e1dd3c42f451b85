#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::preview {

// Checked little-endian reads over bytes of a document stream: a read past
// the end gives nothing instead of touching memory beyond it.
class ByteView {
 public:
  ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit ByteView(const std::vector<uint8_t>& bytes) : data_(bytes.data()), size_(bytes.size()) {}

  size_t size() const { return size_; }
  bool Has(size_t at, size_t length) const { return at <= size_ && length <= size_ - at; }
  std::optional<uint8_t> U8(size_t at) const {
    if (!Has(at, 1)) return std::nullopt;
    return data_[at];
  }
  std::optional<uint16_t> U16(size_t at) const {
    if (!Has(at, 2)) return std::nullopt;
    return static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8));
  }
  std::optional<uint32_t> U32(size_t at) const {
    if (!Has(at, 4)) return std::nullopt;
    return static_cast<uint32_t>(data_[at]) | (static_cast<uint32_t>(data_[at + 1]) << 8) |
           (static_cast<uint32_t>(data_[at + 2]) << 16) | (static_cast<uint32_t>(data_[at + 3]) << 24);
  }
  // `length` bytes from `at`, or an empty view when they are not all there.
  ByteView Slice(size_t at, size_t length) const {
    if (!Has(at, length)) return ByteView(nullptr, 0);
    return ByteView(data_ + at, length);
  }
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace velmora::preview
