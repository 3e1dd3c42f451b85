#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "signature/byte_search.h"
#include "signature/formats/format.h"
#include "signature/formats/iso_pieces.h"
#include "storage/byte_view.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kBoxHeaderBytes = 8;
constexpr uint64_t kLargeBoxHeaderBytes = 16;

// Boxes that may stand at the top level of such a file. Anything else, read where the next
// box should start, is taken for the data after the file.
constexpr std::array<std::string_view, 19> kTopLevelTypes = {
    "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "pnot", "PICT",
    "udta", "moof", "mfra", "sidx", "ssix", "styp", "pdin", "prft", "emsg"};

bool IsTopLevelType(const uint8_t* type) {
  const std::string_view name(reinterpret_cast<const char*>(type), 4);
  return std::find(kTopLevelTypes.begin(), kTopLevelTypes.end(), name) != kTopLevelTypes.end();
}

struct BoxHeader {
  std::string_view type;
  uint64_t size;  // 0: the box runs to the end of the file
};

// Reads box headers through a window of whole sectors, so a chain of small boxes costs one
// read per window rather than one per box. The window is small: most boxes of a film are
// large, and every header past one is read alone.
class BoxHeaderReader {
 public:
  explicit BoxHeaderReader(const CarveContext& context)
      : context_(context),
        sector_size_(static_cast<uint64_t>(context.sector_size)),
        source_bytes_(context.BytesFromStart()),
        // Two sectors at least: a header may cross from one into the next.
        window_size_(std::max<size_t>(kWindowBytes,
                                      2 * static_cast<size_t>(std::max(context.sector_size, 1)))),
        window_(new uint8_t[window_size_]) {}

  // The header at `offset` from the file's first byte; empty when the bytes there cannot be
  // read or do not form a box header of a known top-level type.
  std::optional<BoxHeader> At(uint64_t offset) {
    const uint8_t* bytes = Bytes(offset, kBoxHeaderBytes);
    if (bytes == nullptr || !IsTopLevelType(bytes + 4)) return std::nullopt;
    const std::string_view type(reinterpret_cast<const char*>(bytes + 4), 4);
    const uint32_t size = ByteView({bytes, kBoxHeaderBytes}).Be32(0).value_or(0);
    if (size == 0) return BoxHeader{type, 0};
    if (size != 1) {
      if (size < kBoxHeaderBytes) return std::nullopt;
      return BoxHeader{type, size};
    }
    const uint8_t* large = Bytes(offset, kLargeBoxHeaderBytes);
    if (large == nullptr) return std::nullopt;
    const uint64_t large_size = ByteView({large, kLargeBoxHeaderBytes}).Be64(8).value_or(0);
    if (large_size < kLargeBoxHeaderBytes) return std::nullopt;
    return BoxHeader{type, large_size};
  }

 private:
  // `count` bytes at `offset`, or null when they pass the source's end or a read fails.
  const uint8_t* Bytes(uint64_t offset, uint64_t count) {
    if (sector_size_ == 0 || offset >= source_bytes_ || count > source_bytes_ - offset) {
      return nullptr;
    }
    if (!InWindow(offset, count) && !Load(offset)) return nullptr;
    if (!InWindow(offset, count)) return nullptr;
    return window_.get() + (offset - window_start_);
  }

  bool InWindow(uint64_t offset, uint64_t count) const {
    return window_bytes_ > 0 && offset >= window_start_ &&
           offset - window_start_ <= window_bytes_ &&
           count <= window_bytes_ - (offset - window_start_);
  }

  bool Load(uint64_t offset) {
    window_bytes_ = 0;
    const uint64_t first = offset / sector_size_;
    const uint64_t sectors_left = (source_bytes_ / sector_size_) - first;
    const uint64_t count = std::min<uint64_t>(window_size_ / sector_size_, sectors_left);
    if (count == 0 || context_.start_sector > UINT64_MAX - first) return false;
    if (!context_.Read(context_.start_sector + first, static_cast<uint32_t>(count),
                       window_.get())) {
      return false;
    }
    window_start_ = first * sector_size_;
    window_bytes_ = count * sector_size_;
    return true;
  }

  static constexpr size_t kWindowBytes = 4096;

  const CarveContext& context_;
  const uint64_t sector_size_;
  const uint64_t source_bytes_;
  const size_t window_size_;
  std::unique_ptr<uint8_t[]> window_;  // only what a read filled is looked at
  uint64_t window_start_ = 0;
  uint64_t window_bytes_ = 0;
};

}  // namespace

std::optional<uint64_t> IsoBoxChainLength(const CarveContext& context, uint64_t cap) {
  BoxHeaderReader reader(context);
  bool has_movie = false;  // or, in still pictures (HEIF, AVIF), the item metadata
  bool has_media_data = false;
  uint64_t at = 0;
  while (at < cap) {
    const std::optional<BoxHeader> box = reader.At(at);
    if (!box) break;
    if (at == 0 && box->type != "ftyp") return std::nullopt;
    // A box that runs to the end leaves the end unknown.
    if (box->size == 0) return std::nullopt;
    has_movie = has_movie || box->type == "moov" || box->type == "meta";
    has_media_data = has_media_data || box->type == "mdat";
    // A box running past the source is kept whole here; the caller cuts at the source end.
    if (box->size >= cap - at) {
      at = cap;
      break;
    }
    at += box->size;
  }
  if (at == 0 || !has_movie || !has_media_data) return std::nullopt;
  return at;
}

namespace {

int IdentifyMp4(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 32 || !bytes::At(b, length, 4, "ftyp")) return kNoSignatureType;
  return bytes::At(b, length, 8, "iso") || bytes::At(b, length, 8, "mp42") ? 18 : kNoSignatureType;
}

int IdentifyThreeGp(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 32 && bytes::At(b, length, 4, "ftyp") && bytes::At(b, length, 8, "3gp")
             ? 16
             : kNoSignatureType;
}

int IdentifyQuickTime(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16) return kNoSignatureType;
  if (bytes::At(b, length, 0, "moov")) return 17;
  return bytes::At(b, length, 4, "ftyp") && bytes::At(b, length, 8, "qt  ") ? 17 : kNoSignatureType;
}

// A movie whose media data has foreign sectors inside: the gap is left out of its length.
// A movie whose media data has foreign sectors inside: the gap is left out of its length.
std::optional<uint64_t> InTwoPieces(CarveContext& context) {
  const auto found = formats::FindIsoMediaPieces(context, 4 * kGiB);
  if (!found) return std::nullopt;
  context.first_piece_bytes = found->pieces.first_piece_bytes;
  context.gap_bytes = found->pieces.gap_bytes;
  return found->length;
}

// The box chain gives the exact end; the encoder's marker is the fallback.
uint64_t MeasureMp4(CarveContext& context, const uint8_t*, size_t) {
  if (const auto joined = InTwoPieces(context)) return *joined;
  if (const auto measured = IsoBoxChainLength(context, 4 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  static constexpr std::string_view kMarker = "freeIsoMedia File Produced";
  return ForwardScan(context, 4 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       size_t at = bytes::Find(chunk.data, chunk.bytes, kMarker);
                       if (at == bytes::kNotFound) return false;
                       at += kMarker.size();
                       while (at < chunk.bytes && chunk.data[at] != 0) ++at;
                       *end = chunk.file_offset + at;
                       return true;
                     });
}

uint64_t MeasureIsoMedia(CarveContext& context, const uint8_t*, size_t) {
  if (const auto joined = InTwoPieces(context)) return *joined;
  if (const auto measured = IsoBoxChainLength(context, 4 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  return ForwardScan(context, 4 * kGiB);
}

}  // namespace

extern const Format kMp4 = {"mp4", nullptr, 18, "video", "", 0, true, IdentifyMp4, MeasureMp4};
extern const Format kThreeGp = {"3gp",           nullptr,        16, "video", "", 0, true,
                                IdentifyThreeGp, MeasureIsoMedia};
extern const Format kQuickTime = {
    "mov", nullptr, 17, "video", "", 0, true, IdentifyQuickTime, MeasureIsoMedia};

}  // namespace velmora::formats
