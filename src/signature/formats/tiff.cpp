#include <algorithm>
#include <vector>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 512 * kMiB;  // raw pictures of today's cameras pass 128 MiB
constexpr int kTiffType = 32;
constexpr int kCr2Type = 50;
constexpr int kNefType = 51;
constexpr int kDngType = 52;
constexpr int kOrfType = 53;
constexpr int kRw2Type = 54;
constexpr size_t kMostIfds = 512;

constexpr uint16_t kMake = 271;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kStripByteCounts = 279;
constexpr uint16_t kTileOffsets = 324;
constexpr uint16_t kTileByteCounts = 325;
constexpr uint16_t kSubIfds = 330;
constexpr uint16_t kThumbnailOffset = 513;
constexpr uint16_t kThumbnailLength = 514;
constexpr uint16_t kExifIfd = 34665;
constexpr uint16_t kGpsIfd = 34853;
constexpr uint16_t kInteropIfd = 40965;
constexpr uint16_t kDngVersion = 50706;

uint32_t TypeBytes(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1;
    case 3:
    case 8: return 2;
    case 4:
    case 9:
    case 11:
    case 13: return 4;
    case 5:
    case 10:
    case 12: return 8;
    default: return 0;
  }
}

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint64_t value_at;  // where the values lie, from the file's first byte
};

// Walks every IFD reachable from the header, its chain, sub-IFDs and private IFDs, and
// takes the end of every value, strip and tile it points at.
class TiffWalker {
 public:
  TiffWalker(const CarveContext& context, bool big) : file_(context, kCap), big_(big) {}

  std::optional<uint64_t> Walk(uint64_t first_ifd) {
    std::vector<uint64_t> pending{first_ifd};
    while (!pending.empty()) {
      const uint64_t ifd = pending.back();
      pending.pop_back();
      if (std::find(seen_.begin(), seen_.end(), ifd) != seen_.end()) continue;  // loops
      if (seen_.size() >= kMostIfds) return std::nullopt;
      seen_.push_back(ifd);
      if (!WalkIfd(ifd, &pending)) return std::nullopt;
    }
    return end_;
  }

 private:
  bool WalkIfd(uint64_t ifd, std::vector<uint64_t>* pending) {
    const auto count = file_.Bytes(ifd, 2).U16(0, big_);
    if (!count || *count == 0 || *count > 1000) return false;
    const ByteView table = file_.Bytes(ifd + 2, *count * 12u + 4);
    if (table.empty()) return false;
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < *count; ++i) {
      const size_t at = i * 12;
      Entry entry{static_cast<uint16_t>(*table.U16(at, big_)),
                  static_cast<uint16_t>(*table.U16(at + 2, big_)), *table.U32(at + 4, big_),
                  ifd + 2 + at + 8};
      const uint64_t bytes = uint64_t{TypeBytes(entry.type)} * entry.count;
      if (bytes > 4) {
        entry.value_at = *table.U32(at + 8, big_);
        Extend(entry.value_at + bytes);
      }
      entries.push_back(entry);
    }
    end_ = std::max(end_, ifd + 2 + *count * 12u + 4);
    for (const Entry& entry : entries) {
      if (entry.tag == kSubIfds || entry.tag == kExifIfd || entry.tag == kGpsIfd ||
          entry.tag == kInteropIfd) {
        if (!Values(entry, [&](uint64_t offset) { pending->push_back(offset); })) return false;
      }
    }
    if (!Extents(entries, kStripOffsets, kStripByteCounts) ||
        !Extents(entries, kTileOffsets, kTileByteCounts) ||
        !Extents(entries, kThumbnailOffset, kThumbnailLength)) {
      return false;
    }
    const uint32_t next = *table.U32(*count * 12u, big_);
    if (next != 0) pending->push_back(next);
    return true;
  }

  // Offset and byte-count arrays taken pairwise.
  bool Extents(const std::vector<Entry>& entries, uint16_t offsets_tag, uint16_t counts_tag) {
    const Entry* offsets = Find(entries, offsets_tag);
    const Entry* counts = Find(entries, counts_tag);
    if (offsets == nullptr || counts == nullptr) return true;
    if (offsets->count != counts->count) return false;
    std::vector<uint64_t> starts;
    if (!Values(*offsets, [&](uint64_t v) { starts.push_back(v); })) return false;
    size_t i = 0;
    return Values(*counts, [&](uint64_t size) {
      if (i < starts.size()) Extend(starts[i++] + size);
    });
  }

  static const Entry* Find(const std::vector<Entry>& entries, uint16_t tag) {
    for (const Entry& entry : entries) {
      if (entry.tag == tag) return &entry;
    }
    return nullptr;
  }

  template <typename Sink>
  bool Values(const Entry& entry, Sink sink) {
    const uint32_t size = TypeBytes(entry.type);
    if ((size != 2 && size != 4) || entry.count > 1'000'000) return false;
    for (uint32_t done = 0; done < entry.count;) {
      const uint32_t batch = std::min<uint32_t>(entry.count - done, 8192);
      const ByteView values = file_.Bytes(entry.value_at + uint64_t{done} * size, batch * size);
      if (values.empty()) return false;
      for (uint32_t i = 0; i < batch; ++i) {
        sink(size == 2 ? *values.U16(i * 2, big_) : *values.U32(i * 4, big_));
      }
      done += batch;
    }
    return true;
  }

  void Extend(uint64_t end) { end_ = std::max(end_, end); }

  FileView file_;
  bool big_;
  std::vector<uint64_t> seen_;
  uint64_t end_ = 8;
};

bool BigEndian(const ByteView& b) { return b.Matches(0, "MM"); }

// The raw formats that keep TIFF's header but say which camera made them in IFD 0.
int RawKindOf(const ByteView& b) {
  if (b.Matches(8, {"CR\x02\x00", 4})) return kCr2Type;
  const bool big = BigEndian(b);
  const auto ifd = b.U32(4, big);
  const auto count = ifd ? b.U16(*ifd, big) : std::nullopt;
  if (!count) return kTiffType;
  for (uint32_t i = 0; i < *count; ++i) {
    const size_t at = *ifd + 2 + i * 12;
    const auto tag = b.U16(at, big);
    if (!tag) break;
    if (*tag == kDngVersion) return kDngType;
    if (*tag == kMake) {
      const auto where = b.U32(at + 8, big);
      if (where && b.Matches(*where, "NIKON")) return kNefType;
    }
  }
  return kTiffType;
}

int IdentifyTiff(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 4) return kNoSignatureType;
  if (!b.Matches(0, {"MM\x00\x2A", 4}) && !b.Matches(0, {"II\x2A\x00", 4})) {
    return kNoSignatureType;
  }
  return RawKindOf(b);
}

uint64_t MeasureTiff(CarveContext& context, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  const bool big = BigEndian(b);
  std::optional<uint64_t> measured;
  if (const auto first = b.U32(4, big); first && *first >= 8) {
    measured = TiffWalker(context, big).Walk(*first);
  }
  return MeasuredOrScanned(context, measured, measured ? kCap : 128 * kMiB);
}

int IdentifyOrf(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  return length >= 16 && (b.Matches(0, "IIRO") || b.Matches(0, "IIRS") || b.Matches(0, "MMOR"))
             ? kOrfType
             : kNoSignatureType;
}

int IdentifyRw2(CarveContext&, const uint8_t* buffer, size_t length) {
  return length >= 16 && ByteView({buffer, length}).Matches(0, {"IIU\0", 4}) ? kRw2Type
                                                                             : kNoSignatureType;
}

}  // namespace

extern const Format kCr2 = {"cr2", nullptr, kCr2Type,     "photo",    "MI",
                            2,     true,    IdentifyTiff, MeasureTiff};
extern const Format kNef = {"nef", nullptr, kNefType,     "photo",    "MI",
                            2,     true,    IdentifyTiff, MeasureTiff};
extern const Format kDng = {"dng", nullptr, kDngType,     "photo",    "MI",
                            2,     true,    IdentifyTiff, MeasureTiff};
extern const Format kOrf = {"orf", nullptr, kOrfType,    "photo",    "IM",
                            2,     true,    IdentifyOrf, MeasureTiff};
extern const Format kRw2 = {"rw2", nullptr, kRw2Type,    "photo",    "I",
                            1,     true,    IdentifyRw2, MeasureTiff};

extern const Format kTiff = {"tif", "tiff", 32, "photo", "MI", 2, true, IdentifyTiff, MeasureTiff};

}  // namespace velmora::formats
