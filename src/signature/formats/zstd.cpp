#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kZstdType = 66;
constexpr uint64_t kCap = 4 * kGiB;
constexpr uint32_t kMostBlockBytes = 128 * 1024;

// Frame header, then blocks that each state their size, then the optional checksum.
std::optional<uint64_t> WalkFrame(const CarveContext& context) {
  FileView file(context, kCap);
  const ByteView head = file.Bytes(0, 5);
  if (head.empty()) return std::nullopt;
  const uint8_t descriptor = *head.U8(4);
  if ((descriptor & 0x08) != 0) return std::nullopt;  // reserved bit
  const bool single_segment = (descriptor & 0x20) != 0;
  static constexpr uint64_t kDictionaryBytes[4] = {0, 1, 2, 4};
  static constexpr uint64_t kContentSizeBytes[4] = {0, 2, 4, 8};
  const uint64_t size_bytes =
      (descriptor >> 6) == 0 ? (single_segment ? 1 : 0) : kContentSizeBytes[descriptor >> 6];
  uint64_t at = 5 + (single_segment ? 0 : 1) + kDictionaryBytes[descriptor & 3] + size_bytes;
  while (true) {
    const auto block = file.Bytes(at, 3).Le16(0);
    const auto high = file.Bytes(at + 2, 1).U8(0);
    if (!block || !high) return std::nullopt;
    const uint32_t header = *block | (uint32_t{*high} << 16);
    const bool last = (header & 1) != 0;
    const uint32_t kind = (header >> 1) & 3;
    const uint32_t size = header >> 3;
    if (kind == 3 || size > kMostBlockBytes) return std::nullopt;
    at += 3 + (kind == 1 ? 1 : size);
    if (last) break;
  }
  if ((descriptor & 0x04) != 0) at += 4;
  return at <= file.limit() ? std::optional(at) : std::nullopt;
}

int IdentifyZstd(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 16 || !b.Matches(0, "\x28\xB5\x2F\xFD")) return kNoSignatureType;
  return (*b.U8(4) & 0x08) == 0 ? kZstdType : kNoSignatureType;
}

uint64_t MeasureZstd(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkFrame(context), kCap);
}

}  // namespace

extern const Format kZstd = {"zst", "tzst", kZstdType,    "archive",  "\x28",
                             1,     true,   IdentifyZstd, MeasureZstd};

}  // namespace velmora::formats
