#include <algorithm>
#include <string_view>

#include "signature/byte_search.h"
#include "signature/media_structure_length.h"

namespace velmora::media {

namespace {

constexpr std::string_view kEbmlHeaderId{"\x1A\x45\xDF\xA3", 4};
constexpr std::string_view kSegmentId{"\x18\x53\x80\x67", 4};
constexpr size_t kIdBytes = 4;
constexpr size_t kLongestSize = 8;

struct ElementHeader {
  uint64_t header_bytes;  // id plus size field
  uint64_t data_size;
};

// The element with the four-byte `id` at `offset`; empty when another element lies there,
// the size field is malformed, or the size is the "unknown" value (all value bits set).
std::optional<ElementHeader> ReadElementHeader(const CarveContext& context, uint64_t offset,
                                               std::string_view id) {
  const uint64_t source_bytes = context.BytesFromStart();
  if (offset >= source_bytes) return std::nullopt;
  uint8_t head[kIdBytes + kLongestSize] = {};
  const size_t wanted =
      static_cast<size_t>(std::min<uint64_t>(sizeof(head), source_bytes - offset));
  if (wanted <= kIdBytes || !context.ReadFileBytes(offset, wanted, head)) return std::nullopt;
  if (!bytes::At(head, wanted, 0, id)) return std::nullopt;

  // A variable-length size: the count of leading zero bits in the first byte gives the
  // number of bytes that follow it.
  const uint8_t first = head[kIdBytes];
  if (first == 0) return std::nullopt;
  size_t size_bytes = 1;
  while ((first & (0x80u >> (size_bytes - 1))) == 0) ++size_bytes;
  if (kIdBytes + size_bytes > wanted) return std::nullopt;
  uint64_t value = first & ((0x80u >> (size_bytes - 1)) - 1);
  for (size_t i = 1; i < size_bytes; ++i) value = (value << 8) | head[kIdBytes + i];
  const uint64_t unknown = (uint64_t{1} << (7 * size_bytes)) - 1;
  if (value == unknown) return std::nullopt;
  return ElementHeader{kIdBytes + size_bytes, value};
}

}  // namespace

std::optional<uint64_t> MatroskaLength(const CarveContext& context, uint64_t cap) {
  const std::optional<ElementHeader> header = ReadElementHeader(context, 0, kEbmlHeaderId);
  if (!header) return std::nullopt;
  // Sizes hold at most 56 bits, so these sums cannot wrap.
  const uint64_t segment_at = header->header_bytes + header->data_size;
  const std::optional<ElementHeader> segment = ReadElementHeader(context, segment_at, kSegmentId);
  if (!segment) return std::nullopt;
  const uint64_t end = segment_at + segment->header_bytes + segment->data_size;
  return std::min(end, cap);
}

}  // namespace velmora::media
