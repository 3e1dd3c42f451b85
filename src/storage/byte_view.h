#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

namespace velmora {

// The one way code looks at bytes read from a medium or a file: a window that knows its
// real length. Every read is checked against it and never throws; a read that would pass
// the end gives nothing (std::nullopt, false or an empty view), which parsers turn into
// "not this structure".
class ByteView {
 public:
  ByteView() = default;
  // Implicit, so a span, an array or a vector can be handed where a view is taken; the view
  // must not outlive the bytes.
  ByteView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  template <typename Bytes>
  requires std::is_convertible_v<const Bytes&, std::span<const uint8_t>> ByteView(
      const Bytes& bytes)
      : bytes_(bytes) {}

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::span<const uint8_t> span() const { return bytes_; }

  // Whether [at, at + count) lies inside the view.
  bool Has(size_t at, size_t count) const {
    return at <= bytes_.size() && count <= bytes_.size() - at;
  }
  // Whether the bytes at `at` are exactly `pattern`; false when they do not fit.
  bool Matches(size_t at, std::string_view pattern) const {
    return Has(at, pattern.size()) &&
           std::memcmp(bytes_.data() + at, pattern.data(), pattern.size()) == 0;
  }
  // The bytes [at, at + count); an empty view when they do not lie inside.
  ByteView Sub(size_t at, size_t count) const {
    return Has(at, count) ? ByteView(bytes_.subspan(at, count)) : ByteView();
  }
  // The bytes from `at` to the end; empty when `at` is past it.
  ByteView From(size_t at) const {
    return at <= bytes_.size() ? ByteView(bytes_.subspan(at)) : ByteView();
  }

  std::optional<uint8_t> U8(size_t at) const {
    if (!Has(at, 1)) return std::nullopt;
    return bytes_[at];
  }
  std::optional<uint16_t> Le16(size_t at) const { return Read<uint16_t>(at, 2, false); }
  std::optional<uint32_t> Le24(size_t at) const { return Read<uint32_t>(at, 3, false); }
  std::optional<uint32_t> Le32(size_t at) const { return Read<uint32_t>(at, 4, false); }
  std::optional<uint64_t> Le64(size_t at) const { return Read<uint64_t>(at, 8, false); }
  std::optional<uint16_t> Be16(size_t at) const { return Read<uint16_t>(at, 2, true); }
  std::optional<uint32_t> Be24(size_t at) const { return Read<uint32_t>(at, 3, true); }
  std::optional<uint32_t> Be32(size_t at) const { return Read<uint32_t>(at, 4, true); }
  std::optional<uint64_t> Be64(size_t at) const { return Read<uint64_t>(at, 8, true); }
  // 16 or 32 bits in a byte order named by the data itself (a TIFF header, say).
  std::optional<uint32_t> U16(size_t at, bool big_endian) const {
    return Read<uint16_t>(at, 2, big_endian);
  }
  std::optional<uint32_t> U32(size_t at, bool big_endian) const {
    return Read<uint32_t>(at, 4, big_endian);
  }
  // An unsigned little-endian number of 1 to 8 bytes, as NTFS run lists store them.
  std::optional<uint64_t> LeN(size_t at, size_t width) const {
    if (width == 0 || width > 8) return std::nullopt;
    return Read<uint64_t>(at, width, false);
  }

 private:
  template <typename T>
  std::optional<T> Read(size_t at, size_t width, bool big_endian) const {
    if (!Has(at, width)) return std::nullopt;
    T value = 0;
    for (size_t i = 0; i < width; ++i) {
      const size_t index = big_endian ? i : width - 1 - i;
      value = static_cast<T>((value << 8) | bytes_[at + index]);
    }
    return value;
  }

  std::span<const uint8_t> bytes_;
};

}  // namespace velmora
