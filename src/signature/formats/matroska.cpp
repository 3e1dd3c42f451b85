#include <algorithm>
#include <optional>

#include "signature/byte_search.h"
#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr size_t kIdBytes = 4;
constexpr size_t kLongestSize = 8;

// One element of any id: `id_bytes` (1 to 4, the marker included) and the data size; empty
// when the bytes at `offset` are no element header. `unknown` for the all-ones size.
struct AnyElement {
  uint32_t id = 0;
  uint64_t header_bytes = 0;
  uint64_t data_size = 0;
  bool unknown = false;
};

std::optional<AnyElement> ReadAnyElement(const CarveContext& context, uint64_t offset) {
  const uint64_t source_bytes = context.BytesFromStart();
  if (offset >= source_bytes) return std::nullopt;
  uint8_t head[kIdBytes + kLongestSize] = {};
  const size_t wanted =
      static_cast<size_t>(std::min<uint64_t>(sizeof(head), source_bytes - offset));
  if (wanted < 2 || !context.ReadFileBytes(offset, wanted, head)) return std::nullopt;
  size_t id_bytes = 1;
  while (id_bytes <= kIdBytes && (head[0] & (0x80u >> (id_bytes - 1))) == 0) ++id_bytes;
  if (id_bytes > kIdBytes) return std::nullopt;
  AnyElement element;
  for (size_t i = 0; i < id_bytes; ++i) element.id = (element.id << 8) | head[i];
  if (id_bytes >= wanted) return std::nullopt;
  const uint8_t first = head[id_bytes];
  if (first == 0) return std::nullopt;
  size_t size_bytes = 1;
  while ((first & (0x80u >> (size_bytes - 1))) == 0) ++size_bytes;
  if (id_bytes + size_bytes > wanted) return std::nullopt;
  uint64_t value = first & ((0x80u >> (size_bytes - 1)) - 1);
  for (size_t i = 1; i < size_bytes; ++i) value = (value << 8) | head[id_bytes + i];
  element.unknown = value == (uint64_t{1} << (7 * size_bytes)) - 1;
  element.header_bytes = id_bytes + size_bytes;
  element.data_size = value;
  return element;
}

// The element `id` at `offset` with a known size; empty when another element lies there,
// the bytes are no element header, or the size is the "unknown" value.
std::optional<AnyElement> ReadElementHeader(const CarveContext& context, uint64_t offset,
                                            uint32_t id) {
  std::optional<AnyElement> element = ReadAnyElement(context, offset);
  if (!element || element->id != id || element->unknown) return std::nullopt;
  return element;
}

constexpr uint32_t kVoid = 0xEC;
constexpr uint32_t kCrc32 = 0xBF;
constexpr uint32_t kCluster = 0x1F43B675;
// Children of a Segment: SeekHead, Info, Tracks, Cluster, Cues, Chapters, Tags, Attachments.
constexpr uint32_t kSegmentChildren[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, kCluster,
                                         0x1C53BB6B, 0x1043A770, 0x1254C367, 0x1941A469};
// Children of a Cluster: Timecode, SilentTracks, Position, PrevSize, SimpleBlock, BlockGroup,
// EncryptedBlock.
constexpr uint32_t kClusterChildren[] = {0xE7, 0x5854, 0xA7, 0xAB, 0xA3, 0xA0, 0xAF};

template <size_t N>
bool OneOf(uint32_t id, const uint32_t (&ids)[N]) {
  return id == kVoid || id == kCrc32 || std::find(ids, ids + N, id) != ids + N;
}

constexpr size_t kMostElements = 200000;

struct Walk {
  uint64_t reached = 0;     // end of the last whole element
  uint64_t last_start = 0;  // where that element began
  uint64_t last_header_bytes = 0;
  uint32_t last_id = 0;
  size_t elements = 0;
  bool judged = true;  // false at an element of unknown size: nothing can be said
};

// Steps over the elements with ids in `ids` from `from` while they lie whole before `to`.
template <size_t N>
Walk WalkElements(const CarveContext& context, uint64_t from, uint64_t to,
                  const uint32_t (&ids)[N]) {
  Walk walk;
  walk.reached = from;
  uint64_t at = from;
  while (at < to) {
    // Real files have thousands of clusters and hundreds of blocks in one; a run of tiny
    // elements through gigabytes is no file to judge by its elements.
    if (walk.elements == kMostElements) {
      walk.judged = false;
      break;
    }
    const std::optional<AnyElement> element = ReadAnyElement(context, at);
    if (!element || !OneOf(element->id, ids)) break;
    if (element->unknown) {
      walk.judged = false;
      break;
    }
    const uint64_t next = at + element->header_bytes + element->data_size;
    if (next > to) break;
    walk.last_start = at;
    walk.last_header_bytes = element->header_bytes;
    walk.last_id = element->id;
    walk.reached = next;
    ++walk.elements;
    at = next;
  }
  return walk;
}

std::optional<uint64_t> MatroskaLength(const CarveContext& context, uint64_t cap) {
  const std::optional<AnyElement> header = ReadElementHeader(context, 0, kEbmlHeaderId);
  if (!header) return std::nullopt;
  // Sizes hold at most 56 bits, so these sums cannot wrap.
  const uint64_t segment_at = header->header_bytes + header->data_size;
  const std::optional<AnyElement> segment = ReadElementHeader(context, segment_at, kSegmentId);
  if (!segment) return std::nullopt;
  const uint64_t data_at = segment_at + segment->header_bytes;
  const uint64_t end = data_at + segment->data_size;
  // A file cut short (the start of a longer one, the rest overwritten) still declares the
  // whole size: its elements are followed as far as they go. Where they stop before the
  // declared end the file ends, inside the last cluster at its last whole block.
  const Walk top = WalkElements(context, data_at, std::min(end, cap), kSegmentChildren);
  if (top.elements == 0 || !top.judged || top.reached >= std::min(end, cap)) {
    return std::min(end, cap);
  }
  if (top.last_id == kCluster) {
    const uint64_t children = top.last_start + top.last_header_bytes;
    const Walk inner = WalkElements(context, children, top.reached, kClusterChildren);
    if (inner.judged && inner.elements > 0 && inner.reached < top.reached) return inner.reached;
  }
  return top.reached;
}

int IdentifyMatroska(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, "\x1A\x45\xDF\xA3") ? 19 : kNoSignatureType;
}

// Matroska and WebM: the EBML header plus a Segment element of known size.
uint64_t MeasureMatroska(CarveContext& context, const uint8_t*, size_t) {
  if (const auto measured = MatroskaLength(context, 64 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  return ForwardScan(context, 64 * kGiB);
}

}  // namespace

extern const Format kMatroska = {
    "mkv", nullptr, 19, "video", "\x1A", 1, true, IdentifyMatroska, MeasureMatroska};

}  // namespace velmora::formats
